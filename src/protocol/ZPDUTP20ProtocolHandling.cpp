#include "protocol/ZPDUTP20ProtocolHandling.h"

#include "log/PduLog.h"

namespace pdu::protocol {

using log::LogMain;

ZPDUTP20ProtocolHandling::ZPDUTP20ProtocolHandling() { LogMain("create TP2.0"); }

void ZPDUTP20ProtocolHandling::parseComparam() {
  LogMain("tp20 parse");
  clearParamBlock();
  uint32_t n = 0;
  readIntoParamBlock("CPM_VWTP_PhysReqIdSetup", PhysReqIdSetup, n);
  logParamBlock(n);
  RequestId = PhysReqIdSetup;
  LogMain("tp20 end");
}

void ZPDUTP20ProtocolHandling::initUniqueRespComparam() {
  UniqueRespComparamMap = {
      {157, "CPM_VWTP_PhysIdFormat"}, {159, "CPM_VWTP_PhysReqIdSetup"}, {160, "CPM_VWTP_PhysRespIdSetup"},
      {161, "CPM_VWTP_PhysReqIdCon"}, {162, "CPM_VWTP_PhysRespIdCon"},  {186, "CPM_VWTP_ComfortDiag"},
  };
}

uint32_t ZPDUTP20ProtocolHandling::buildRequest(const uint8_t* src, uint32_t len, uint8_t* dst) {
  uint32_t id = RequestId;
  return buildRequestWith(src, len, dst, &id, true);
}

ResponseClass ZPDUTP20ProtocolHandling::parseResponse(const uint8_t* record, uint32_t length, uint32_t* flags,
                                                      PDU_RESULT_DATA* result) {
  return handleResponse(record, length, flags, result, kTp20Rules, Timing{P2Timeout, m_7F78timeout, CurrentTimeout});
}

uint32_t ZPDUTP20ProtocolHandling::getDefaultTimeout() {
  CurrentTimeout = P2Timeout + 1000;
  LogMain("TP20 defaluttimeout = %d", static_cast<int>(CurrentTimeout.load()));
  return CurrentTimeout;
}

uint32_t ZPDUTP20ProtocolHandling::getStartTimeout() {
  // Includes the channel set-up the VCI does before the first request.
  LogMain("TP20 starttimeout = %d", 6000);
  return 6000;
}

void ZPDUTP20ProtocolHandling::applyTimingComparam() {
  applySnapshotTiming(Timing{P2Timeout, m_7F78timeout, CurrentTimeout}, kInitialTiming);
}

bool ZPDUTP20ProtocolHandling::isTP20() {
  LogMain("tp20 = true");
  return true;
}

}  // namespace pdu::protocol
