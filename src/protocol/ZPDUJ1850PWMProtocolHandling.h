// SAE J1850 (PWM, and VPW through the derived class; the VCI tells the two
// apart by the link's bus type). Base behaviour for requests, answers,
// waits and ComParams; its ParamBlock counts its pairs in the first word
// and carries one pair of code 3.
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUJ1850PWMProtocolHandling : public virtual ZPDUProtocolHandling {
 public:
  ZPDUJ1850PWMProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
};

}  // namespace pdu::protocol
