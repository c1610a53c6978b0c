// Per-link tables indexed by hCLL: their sizes and the handler lookup. A
// ComLogicalLink has no record of its own: it is the protocol handler in
// ModuleState::LinkTable plus its rows in CallbackTable and LinkTagTable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/ApiLock.h"
#include "pdu_api.h"

namespace pdu::protocol {
class ZPDUProtocolHandling;
}

namespace pdu::engine {

inline constexpr size_t kLinkTableSize = 4096;
inline constexpr size_t kLinkTagTableSize = 1024;

// The handler of hCLL, or null (also for an index outside the table). The
// pointer stays valid until the next PDUConstruct, which stops the engine
// thread before it releases handlers; so the engine may keep using a
// handler it looked up under the lock after releasing it.
protocol::ZPDUProtocolHandling* LinkHandler(uint32_t hCLL) PDU_REQUIRES(g_ApiLock);

}  // namespace pdu::engine
