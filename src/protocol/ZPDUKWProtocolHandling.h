// KW81 and KW82 on the KW UART. Base behaviour throughout: requests pass
// through, answers are classified at three positions, and the waits come
// from CP_P2Max / CP_P2Star of the link's items at UPDATEPARAM. Reads no
// ComParams into ParamBlock and names no response-identification
// ComParams.
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUKWProtocolHandling : public virtual ZPDUProtocolHandling {
 public:
  ZPDUKWProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
};

}  // namespace pdu::protocol
