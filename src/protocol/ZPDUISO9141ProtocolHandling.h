// K-line protocols on ISO 9141 (SAE J2190, OBD) and KW1281 on the ISO
// 9141-2 line. Requests and answers pass through unchanged; the VCI does
// the initialisation. Answers are classified like ISO 14230 ones.
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUISO9141ProtocolHandling : public virtual ZPDUProtocolHandling {
 public:
  ZPDUISO9141ProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
  ResponseClass parseResponse(const uint8_t* record, uint32_t length, uint32_t* flags,
                              PDU_RESULT_DATA* result) override;
  uint32_t getDefaultTimeout() override;
  uint32_t getStartTimeout() override;
  void applyTimingComparam() override;

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
  static constexpr InitialTiming kInitialTiming{2000, 2000, 2000};
  std::atomic<uint32_t> P2Timeout{kInitialTiming.p2};
  std::atomic<uint32_t> m_7F78timeout{kInitialTiming.p2Star};
  std::atomic<uint32_t> StartTimeout{9000};
  std::atomic<uint32_t> CurrentTimeout{kInitialTiming.current};
};

}  // namespace pdu::protocol
