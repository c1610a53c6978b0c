// KWP2000 on the TP1.6 transport over CAN ("MSP_VW2000LP_on_TP16"); the
// transport's handling is ZPDUTP16ProtocolHandling's. Its answers are also
// identified by the ECU's source address and response format.
#pragma once

#include "protocol/ZPDUTP16ProtocolHandling.h"

namespace pdu::protocol {

class ZPDUTP16_KW2000ProtocolHandling : public ZPDUTP16ProtocolHandling {
 public:
  ZPDUTP16_KW2000ProtocolHandling()
      : ZPDUTP16ProtocolHandling("KW2000", 6000,
                                 {{70, "CP_EcuRespSourceAddress"}, {101, "CP_PhysRespFormatPriorityType"}}) {}
};

}  // namespace pdu::protocol
