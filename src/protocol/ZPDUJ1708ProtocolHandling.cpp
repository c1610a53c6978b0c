#include "protocol/ZPDUJ1708ProtocolHandling.h"

namespace pdu::protocol {

void ZPDUJ1708ProtocolHandling::parseComparam() { clearParamBlock(); }

void ZPDUJ1708ProtocolHandling::initUniqueRespComparam() {}

}  // namespace pdu::protocol
