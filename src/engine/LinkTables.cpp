#include "engine/LinkTables.h"

#include "engine/ModuleState.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {

protocol::ZPDUProtocolHandling* LinkHandler(uint32_t hCLL) {
  return hCLL < kLinkTableSize ? Module().LinkTable[hCLL].get() : nullptr;
}

}  // namespace pdu::engine
