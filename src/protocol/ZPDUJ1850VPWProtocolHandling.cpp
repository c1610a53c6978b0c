#include "protocol/ZPDUJ1850VPWProtocolHandling.h"

namespace pdu::protocol {

// The same block as PWM.
void ZPDUJ1850VPWProtocolHandling::parseComparam() { ZPDUJ1850PWMProtocolHandling::parseComparam(); }

void ZPDUJ1850VPWProtocolHandling::initUniqueRespComparam() {}

}  // namespace pdu::protocol
