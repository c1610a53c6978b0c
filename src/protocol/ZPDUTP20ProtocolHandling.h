// KWP2000 on the TP2.0 transport over CAN. The VCI sets the channel up and
// keeps it alive (the TP2.0 connect command carries Tp20ChannelId); the
// handler marks itself as the TP2.0 handler, writes the set-up request
// identifier in front of every request and strips the 4-byte identifier
// from every answer.
//
// To the VCI:    [RequestId u32 LE][request bytes]
// From the VCI:  record data = [identifier, 4 bytes][answer payload]
#pragma once

#include "protocol/OwnTimingHandling.h"

namespace pdu::protocol {

class ZPDUTP20ProtocolHandling : public OwnTimingHandling {
 public:
  ZPDUTP20ProtocolHandling();

  void parseComparam() override;
  void initUniqueRespComparam() override;
  uint32_t buildRequest(const uint8_t* src, uint32_t len, uint8_t* dst) override;
  uint32_t getDefaultTimeout() override;
  uint32_t getStartTimeout() override;
  bool isTP20() override;

 protected:
  // Written in front of every request; taken from PhysReqIdSetup.
  std::atomic<uint32_t> RequestId{0};
  // CPM_VWTP_PhysReqIdSetup; kept when a later run finds none.
  uint32_t PhysReqIdSetup = 0;

  // Own waits (milliseconds).
  static constexpr InitialTiming kInitialTiming{2000, 2000, 2000, 2000};
};

}  // namespace pdu::protocol
