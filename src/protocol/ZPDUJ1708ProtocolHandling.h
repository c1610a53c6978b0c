// SAE J1587 on J1708 ("SAE_J1587_on_SAE_J1708"). Base behaviour for requests, answers, waits and
// ComParams; parseComparam only clears ParamBlock.
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUJ1708ProtocolHandling : public virtual ZPDUProtocolHandling {
 public:
  ZPDUJ1708ProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
};

}  // namespace pdu::protocol
