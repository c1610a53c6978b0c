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

uint32_t ZPDUISO9141ProtocolHandling::getDefaultTimeout() { return currentWait("9141 defaulttimeout = %d"); }

uint32_t ZPDUISO9141ProtocolHandling::getStartTimeout() {
  return constantStartWait("9141 starttimeout = %d", OwnTiming.StartTimeout);
}

}  // namespace pdu::protocol
