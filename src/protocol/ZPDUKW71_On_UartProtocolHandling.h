// KW71 on the KW UART. Base behaviour for requests, answers, waits and
// ComParams; its ParamBlock counts one (all-zero) pair in the first word.
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUKW71_On_UartProtocolHandling : public virtual ZPDUProtocolHandling {
 public:
  ZPDUKW71_On_UartProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
};

}  // namespace pdu::protocol
