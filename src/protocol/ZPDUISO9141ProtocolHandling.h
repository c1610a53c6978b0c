// K-line protocols on ISO 9141 (SAE J2190, OBD) and KW1281 on the ISO
// 9141-2 line. Requests and answers pass through unchanged; the VCI does
// the initialisation. Answers are classified like ISO 14230 ones.
#pragma once

#include "protocol/OwnTimingHandling.h"

namespace pdu::protocol {

class ZPDUISO9141ProtocolHandling : public OwnTimingHandling {
 public:
  ZPDUISO9141ProtocolHandling() : OwnTimingHandling(kInitialTiming, kKLineRules) {}

  void parseComparam() override;
  void initUniqueRespComparam() override;
  uint32_t getDefaultTimeout() override;
  uint32_t getStartTimeout() override;

 protected:
  // The ComParam values, cleared at the start of every parseComparam.
  uint32_t Baudrate = 0;
  uint32_t P2Max = 0;
  uint32_t P1Max = 0;
  uint32_t P4Min = 0;
  uint32_t TIdle = 0;
  uint32_t TInil = 0;
  uint32_t TWup = 0;
  uint32_t W4Min = 0;

  // Own waits (milliseconds); StartTimeout covers the 5-baud init.
  static constexpr InitialTiming kInitialTiming{2000, 2000, 2000, 9000};
};

}  // namespace pdu::protocol
