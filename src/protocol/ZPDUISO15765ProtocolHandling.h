// Diagnostic protocols on CAN (ISO 15765-2 transport). The VCI does the
// segmentation, flow control and padding; the handler picks the CAN
// identifier of the requests, writes it in front of every request and
// strips the answer's identifier from every result.
//
// To the VCI:    [RequestId u32 LE][request bytes]
// From the VCI:  record data = [CAN identifier, 4 bytes][answer payload]
#pragma once

#include "protocol/OwnTimingHandling.h"

namespace pdu::protocol {

class ZPDUISO15765ProtocolHandling : public OwnTimingHandling {
 public:
  ZPDUISO15765ProtocolHandling() : OwnTimingHandling(kInitialTiming, kIso15765Rules) {}

  void parseComparam() override;
  void initUniqueRespComparam() override;
  void setRequestAddrMode(uint32_t mode, uint32_t value) override;
  uint32_t buildRequest(const uint8_t* src, uint32_t len, uint8_t* dst) override;
  uint32_t getDefaultTimeout() override;
  uint32_t getStartTimeout() override;

 protected:
  // The ComParam values parseComparam read (0 when the link has none).
  uint32_t BlockSize = 0;
  uint32_t FillerByteHandling = 0;
  uint32_t FillerByte = 0;
  uint32_t FuncReqExtAddr = 0;
  uint32_t FuncReqFormat = 0;
  uint32_t FuncReqId = 0;
  uint32_t PhysReqExtAddr = 0;
  uint32_t PhysReqFormat = 0;
  uint32_t PhysReqId = 0;
  uint32_t RespUSDTId = 0;
  uint32_t RespUSDTExtAddr = 0;
  uint32_t RespUUDTFormat = 0;
  uint32_t RequestAddrMode = 0;  // 2: functional addressing
  uint32_t P2MaxValue = 0;       // CP_P2Max as the link carries it (microseconds)
  uint32_t Baudrate = 0;
  // The CAN identifier written in front of every request.
  std::atomic<uint32_t> RequestId{0};

  // Own waits (milliseconds).
  static constexpr InitialTiming kInitialTiming{2000, 2000, 2000, 2000};
};

}  // namespace pdu::protocol
