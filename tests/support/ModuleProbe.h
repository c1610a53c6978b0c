// Reads of the module's state for assertions, each under the ApiLock (the
// state's fields are guarded by it, and the thread-safety build checks that
// tests respect that too).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/CopQueues.h"
#include "pdu_api.h"

namespace pdu::protocol {
class ZPDUProtocolHandling;
}

namespace pdu::test {

uint32_t LinkCounter();
size_t QueuedJobs();
engine::CopJob LastQueuedJob();
size_t Tp20ChannelsInUse();
CALLBACKFNC CallbackOf(size_t index);
// The link's handler (valid until the next PDUConstruct).
protocol::ZPDUProtocolHandling* HandlerOf(uint32_t hCLL);

}  // namespace pdu::test
