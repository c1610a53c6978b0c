#include "protocol/ZPDUISO9141ProtocolHandling.h"

#include "log/PduLog.h"

namespace pdu::protocol {

using log::LogMain;

void ZPDUISO9141ProtocolHandling::parseComparam() {
  clearParamBlock();
  Baudrate = P2Max = P1Max = P4Min = TIdle = TInil = TWup = W4Min = 0;
  uint32_t n = 0;
  readIntoParamBlock("CP_Baudrate", Baudrate, n);
  readIntoParamBlock("CP_P2Max", P2Max, n);
  readIntoParamBlock("CP_P1Max", P1Max, n);
  readIntoParamBlock("CP_P4Min", P4Min, n);
  readIntoParamBlock("CP_TIdle", TIdle, n);
  readIntoParamBlock("CP_TInil", TInil, n);
  readIntoParamBlock("CP_TWup", TWup, n);
  readIntoParamBlock("CP_W4Min", W4Min, n);
  logParamBlock(n);
}

// ISO 9141 links name no response-identification ComParams.
void ZPDUISO9141ProtocolHandling::initUniqueRespComparam() {}

ResponseClass ZPDUISO9141ProtocolHandling::parseResponse(const uint8_t* record, uint32_t length, uint32_t* flags,
                                                         PDU_RESULT_DATA* result) {
  return handleResponse(record, length, flags, result, kKLineRules, Timing{P2Timeout, m_7F78timeout, CurrentTimeout});
}

uint32_t ZPDUISO9141ProtocolHandling::getDefaultTimeout() {
  uint32_t timeout = CurrentTimeout;
  LogMain("9141 defaulttimeout = %d", static_cast<int>(timeout));
  return timeout;
}

uint32_t ZPDUISO9141ProtocolHandling::getStartTimeout() {
  uint32_t timeout = StartTimeout;
  LogMain("9141 starttimeout = %d", static_cast<int>(timeout));
  return timeout;
}

void ZPDUISO9141ProtocolHandling::applyTimingComparam() {
  applySnapshotTiming(Timing{P2Timeout, m_7F78timeout, CurrentTimeout}, kInitialTiming);
}

}  // namespace pdu::protocol
