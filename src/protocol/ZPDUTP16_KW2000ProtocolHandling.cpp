#include "protocol/ZPDUTP16_KW2000ProtocolHandling.h"

#include "log/PduLog.h"

namespace pdu::protocol {

using log::LogMain;

// TP1.6 links send their ComParams one by one at connect; the block stays
// empty.
void ZPDUTP16_KW2000ProtocolHandling::parseComparam() { clearParamBlock(); }

void ZPDUTP16_KW2000ProtocolHandling::initUniqueRespComparam() {
  UniqueRespComparamMap = {
      {70, "CP_EcuRespSourceAddress"},  {101, "CP_PhysRespFormatPriorityType"}, {157, "CPM_VWTP_PhysIdFormat"},
      {159, "CPM_VWTP_PhysReqIdSetup"}, {160, "CPM_VWTP_PhysRespIdSetup"},      {161, "CPM_VWTP_PhysReqIdCon"},
      {162, "CPM_VWTP_PhysRespIdCon"},  {186, "CPM_VWTP_ComfortDiag"},
  };
}

ResponseClass ZPDUTP16_KW2000ProtocolHandling::parseResponse(const uint8_t* record, uint32_t length, uint32_t* flags,
                                                             PDU_RESULT_DATA* result) {
  return handleResponse(record, length, flags, result, kTp16Rules, Timing{P2Timeout, m_7F78timeout, CurrentTimeout});
}

uint32_t ZPDUTP16_KW2000ProtocolHandling::getDefaultTimeout() {
  uint32_t timeout = CurrentTimeout;
  LogMain("KW2000 defaluttimeout = %d", static_cast<int>(timeout));
  return timeout;
}

uint32_t ZPDUTP16_KW2000ProtocolHandling::getStartTimeout() {
  LogMain("KW2000 starttimeout = %d", 6000);
  return 6000;
}

void ZPDUTP16_KW2000ProtocolHandling::applyTimingComparam() {
  applySnapshotTiming(Timing{P2Timeout, m_7F78timeout, CurrentTimeout}, kInitialTiming);
}

}  // namespace pdu::protocol
