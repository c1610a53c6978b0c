// SAE J1939 ("SAE_J1939_73_on_SAE_J1939_21"). Base behaviour for requests, answers, waits and
// ComParams; parseComparam only clears ParamBlock.
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUJ1939ProtocolHandling : public virtual ZPDUProtocolHandling {
 public:
  ZPDUJ1939ProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
};

}  // namespace pdu::protocol
