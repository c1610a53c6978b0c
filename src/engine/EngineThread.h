// The engine thread (PduEventQueueThread): takes the CopJobQueue's jobs one
// at a time while g_QueueRun is 1 and executes them against the VCI.
//
// It sleeps on a condition variable until a job is queued, g_QueueRun
// changes or it is told to stop; it never polls. It takes the ApiLock only
// to look at or remove the front job, to send a ComPrimitive, to deliver a
// link status and to append events - never while it waits for vehicle data.
// The thread object belongs to the ModuleState (ModuleState.h); these are
// the module's entry points for the other rooms.
#pragma once

#include <cstdint>

#include "engine/ApiLock.h"

namespace pdu::engine {

// Starting and stopping the thread belong to the holder of the lifetime
// turn: ModuleState::StartEngineThread and StopEngineThread.

bool EngineThreadRunning();
// True on the engine thread (inside a callback of the application).
bool OnEngineThread();

// Wakes the engine thread to look at the queue again. Any thread.
void WakeEngine();

// The executions of one front job (exposed for tests).
struct CopJob;
void pduDoCopUpdateParam(const CopJob& job);
void pduDoCopStart(const CopJob& job);
void pduDoCopStop(const CopJob& job);
void pduDoCopSendrecv(const CopJob& job);

}  // namespace pdu::engine
