#include "protocol/ZPDUJ1939ProtocolHandling.h"

namespace pdu::protocol {

void ZPDUJ1939ProtocolHandling::parseComparam() { clearParamBlock(); }

void ZPDUJ1939ProtocolHandling::initUniqueRespComparam() {}

}  // namespace pdu::protocol
