// SAE J2610 SCI ("SAE_J2610_on_SAE_J2610_SCI"). Base behaviour throughout;
// parseComparam does nothing.
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUJ2610_SCIProtocolHandling : public virtual ZPDUProtocolHandling {
 public:
  ZPDUJ2610_SCIProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
};

}  // namespace pdu::protocol
