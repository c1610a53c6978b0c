#include "protocol/ZPDUJ2610_SCIProtocolHandling.h"

namespace pdu::protocol {

void ZPDUJ2610_SCIProtocolHandling::parseComparam() {}

void ZPDUJ2610_SCIProtocolHandling::initUniqueRespComparam() {}

}  // namespace pdu::protocol
