// Raw CAN frames (ISO 11898). Base behaviour for requests, answers, waits
// and ComParams; only its ParamBlock differs: the first word counts the
// pairs, and the block carries the single pair (0x100, 0).
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUISO11898RawProtocolHandling : public virtual ZPDUProtocolHandling {
 public:
  ZPDUISO11898RawProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
};

}  // namespace pdu::protocol
