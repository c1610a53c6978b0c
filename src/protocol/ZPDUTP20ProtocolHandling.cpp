#include "protocol/ZPDUTP20ProtocolHandling.h"

#include "log/PduLog.h"
#include "protocol/ComParamNames.h"

namespace pdu::protocol {

using log::LogMain;

ZPDUTP20ProtocolHandling::ZPDUTP20ProtocolHandling() : OwnTimingHandling(kInitialTiming, kTp20Rules) {
  LogMain("create TP2.0");
}

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
  UniqueRespComparamMap = kVwtpUniqueRespComparams;
}

uint32_t ZPDUTP20ProtocolHandling::buildRequest(const uint8_t* src, uint32_t len, uint8_t* dst) {
  uint32_t id = RequestId;
  return buildRequestWith(src, len, dst, &id, true);
}

uint32_t ZPDUTP20ProtocolHandling::getDefaultTimeout() { return p2PlusOneSecond("TP20 defaluttimeout = %d"); }

// Includes the channel set-up the VCI does before the first request.
uint32_t ZPDUTP20ProtocolHandling::getStartTimeout() { return constantStartWait("TP20 starttimeout = %d", 6000); }

bool ZPDUTP20ProtocolHandling::isTP20() {
  LogMain("tp20 = true");
  return true;
}

}  // namespace pdu::protocol
