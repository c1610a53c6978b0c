#include "engine/LinkTables.h"

#include "engine/ModuleState.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {

protocol::ZPDUProtocolHandling* LinkHandler(uint32_t hCLL) {
  return Module().LinkHandler(hCLL);
}

}  // namespace pdu::engine
