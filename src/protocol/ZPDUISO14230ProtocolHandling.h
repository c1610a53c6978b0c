// K-line protocols with KWP2000 timing (ISO 14230), and DoIP, which the
// VCI serves the same way. Requests and answers pass through unchanged: the
// VCI does the wake-up, headers and checksums. The handler reads the K-line
// timing ComParams into ParamBlock, classifies answers (negative responses
// after 0, 1 or 3 header bytes) and gives the K-line waits.
#pragma once

#include "protocol/OwnTimingHandling.h"

namespace pdu::protocol {

class ZPDUISO14230ProtocolHandling : public OwnTimingHandling {
 public:
  ZPDUISO14230ProtocolHandling() : OwnTimingHandling(kInitialTiming, kKLineRules) {}

  void parseComparam() override;
  void initUniqueRespComparam() override;
  uint32_t buildRequest(const uint8_t* src, uint32_t len, uint8_t* dst) override;
  uint32_t getDefaultTimeout() override;
  uint32_t getStartTimeout() override;

 protected:
  // The ComParam values, as the link carries them. Not cleared between
  // two parseComparam runs: a ComParam the link no longer carries keeps
  // its earlier value (and takes no pair).
  uint32_t BlockSize = 0;
  uint32_t TIdle = 0;
  uint32_t TInil = 0;
  uint32_t TWup = 0;
  uint32_t W1Max = 0;
  uint32_t W2Max = 0;
  uint32_t W3Max = 0;
  uint32_t W4Max = 0;
  uint32_t W4Min = 0;
  uint32_t P1Max = 0;
  uint32_t P2Max = 0;
  uint32_t P3Min = 0;
  uint32_t P4Min = 0;

  // Own waits (milliseconds). The first SENDRECV waits 3000 ms: the VCI
  // may still be initialising the line.
  static constexpr InitialTiming kInitialTiming{2000, 2000, 3000, 9000};
};

}  // namespace pdu::protocol
