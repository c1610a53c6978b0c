// KW1281 on the TP1.6 transport over CAN ("MSP_KW1281_on_TP16"); the
// transport's handling is ZPDUTP16ProtocolHandling's.
#pragma once

#include "protocol/ZPDUTP16ProtocolHandling.h"

namespace pdu::protocol {

class ZPDUTP16_KW1281ProtocolHandling : public ZPDUTP16ProtocolHandling {
 public:
  ZPDUTP16_KW1281ProtocolHandling() : ZPDUTP16ProtocolHandling("KW1281", 9000) {}
};

}  // namespace pdu::protocol
