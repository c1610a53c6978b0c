#include "engine/LinkTables.h"

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {

std::array<std::unique_ptr<protocol::ZPDUProtocolHandling>, kLinkTableSize> LinkTable;
std::array<CALLBACKFNC, kLinkTableSize> CallbackTable{};
std::array<void*, kLinkTagTableSize> LinkTagTable{};

protocol::ZPDUProtocolHandling* LinkHandler(uint32_t hCLL) {
  return hCLL < kLinkTableSize ? LinkTable[hCLL].get() : nullptr;
}

}  // namespace pdu::engine
