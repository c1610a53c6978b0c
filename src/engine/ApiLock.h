// The ApiLock: one recursive lock that serialises the exported functions.
//
// Held by every exported function (except PDUConstruct) from its entry line
// to its return, including the device commands it sends and their waits.
// The engine thread takes it only around sending a ComPrimitive to the VCI,
// around delivering a link status and around touching the job and event
// queues - never while it waits for vehicle data. Recursive, because the
// application's callback runs on the engine thread and may call back into
// the API.
//
// Lock order: ApiLock before the device link's receive lock, before the
// engine's wake-up lock.
//
// It lives here, in the lowest room that takes it, so that both the API
// and the engine reach it without the engine depending on the API. It is
// usable from library load on and is never destroyed (a thread that still
// runs while the process exits may take it).
#pragma once

#include "platform/Mutex.h"

namespace pdu::engine {

extern platform::RecursiveMutex g_ApiLock;

inline platform::RecursiveMutex& ApiLock() PDU_RETURN_CAPABILITY(g_ApiLock) { return g_ApiLock; }

using ApiLockGuard = platform::RecursiveMutexLock;

}  // namespace pdu::engine
