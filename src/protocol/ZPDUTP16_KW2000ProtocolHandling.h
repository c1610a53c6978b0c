// KW2000 on the TP1.6 transport over CAN ("MSP_VW2000LP_on_TP16"). The VCI handles the
// TP1.6 channel; requests pass through unchanged and every answer carries a
// 4-byte identifier in front of its payload, which parseResponse strips.
// Only the first position of an answer is tested for a negative response.
#pragma once

#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::protocol {

class ZPDUTP16_KW2000ProtocolHandling : public virtual ZPDUProtocolHandling {
 public:
  ZPDUTP16_KW2000ProtocolHandling() = default;

  void parseComparam() override;
  void initUniqueRespComparam() override;
  ResponseClass parseResponse(const uint8_t* record, uint32_t length, uint32_t* flags,
                              PDU_RESULT_DATA* result) override;
  uint32_t getDefaultTimeout() override;
  uint32_t getStartTimeout() override;
  void applyTimingComparam() override;

 protected:
  // Own waits (milliseconds). StartTimeout is kept but not read: the start
  // wait is a constant 6000 ms.
  static constexpr InitialTiming kInitialTiming{2000, 2000, 3000};
  std::atomic<uint32_t> P2Timeout{kInitialTiming.p2};
  std::atomic<uint32_t> m_7F78timeout{kInitialTiming.p2Star};
  std::atomic<uint32_t> StartTimeout{6000};
  std::atomic<uint32_t> CurrentTimeout{kInitialTiming.current};
};

}  // namespace pdu::protocol
