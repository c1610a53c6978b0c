#include "protocol/ZPDUKWProtocolHandling.h"

namespace pdu::protocol {

void ZPDUKWProtocolHandling::parseComparam() {}

void ZPDUKWProtocolHandling::initUniqueRespComparam() {}

}  // namespace pdu::protocol
