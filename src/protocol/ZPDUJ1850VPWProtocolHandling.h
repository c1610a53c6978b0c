// SAE J1850 VPW: the PWM handler's behaviour, under its own class for
// "SAE_J2190_on_SAE_J1850_VPW".
#pragma once

#include "protocol/ZPDUJ1850PWMProtocolHandling.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUJ1850VPWProtocolHandling : public virtual ZPDUJ1850PWMProtocolHandling, public virtual ZPDUProtocolHandling {
 public:
  ZPDUJ1850VPWProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
};

}  // namespace pdu::protocol
