// Per-link tables indexed by hCLL. A ComLogicalLink has no record of its
// own: it is the protocol handler object in LinkTable, plus its rows here.
//
// Guarded by the ApiLock. PDUConstruct empties LinkTable and LinkTagTable
// (releasing the handlers of the previous construction); CallbackTable
// survives constructions on purpose: applications register callbacks once.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "pdu_api.h"

namespace pdu::protocol {
class ZPDUProtocolHandling;
}

namespace pdu::engine {

inline constexpr size_t kLinkTableSize = 4096;
inline constexpr size_t kLinkTagTableSize = 1024;

// The handler of each hCLL; null when the link's protocol has no handler.
extern std::array<std::unique_ptr<protocol::ZPDUProtocolHandling>, kLinkTableSize> LinkTable;
// The event callback of each hCLL; index 0 holds the module-level callback.
extern std::array<CALLBACKFNC, kLinkTableSize> CallbackTable;
// The application's pCllTag of each hCLL, handed to its callback.
extern std::array<void*, kLinkTagTableSize> LinkTagTable;

// The handler of hCLL, or null (also for an index outside the table).
protocol::ZPDUProtocolHandling* LinkHandler(uint32_t hCLL);

}  // namespace pdu::engine
