#include "engine/ApiLock.h"

namespace pdu::engine {

platform::RecursiveMutex g_ApiLock;

}  // namespace pdu::engine
