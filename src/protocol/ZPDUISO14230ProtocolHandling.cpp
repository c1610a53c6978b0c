#include "protocol/ZPDUISO14230ProtocolHandling.h"

#include "log/PduLog.h"

namespace pdu::protocol {

using log::LogMain;

void ZPDUISO14230ProtocolHandling::parseComparam() {
  clearParamBlock();
  uint32_t n = 0;
  readIntoParamBlock("CP_BlockSize", BlockSize, n);
  readIntoParamBlock("CP_TIdle", TIdle, n);
  readIntoParamBlock("CP_TInil", TInil, n);
  readIntoParamBlock("CP_TWup", TWup, n);
  readIntoParamBlock("CP_W1Max", W1Max, n);
  readIntoParamBlock("CP_W2Max", W2Max, n);
  readIntoParamBlock("CP_W3Max", W3Max, n);
  readIntoParamBlock("CP_W4Max", W4Max, n);
  readIntoParamBlock("CP_W4Min", W4Min, n);
  readIntoParamBlock("CP_P1Max", P1Max, n);
  readIntoParamBlock("CP_P2Max", P2Max, n);
  readIntoParamBlock("CP_P3Min", P3Min, n);
  readIntoParamBlock("CP_P4Min", P4Min, n);
  logParamBlock(n);
}

void ZPDUISO14230ProtocolHandling::initUniqueRespComparam() {
  UniqueRespComparamMap = {
      {70, "CP_EcuRespSourceAddress"},
      {78, "CP_FuncRespFormatPriorityType"},
      {79, "CP_FuncRespTargetAddr"},
      {101, "CP_PhysRespFormatPriorityType"},
  };
}

uint32_t ZPDUISO14230ProtocolHandling::buildRequest(const uint8_t* src, uint32_t len, uint8_t* dst) {
  return buildRequestWith(src, len, dst, nullptr, true);
}

uint32_t ZPDUISO14230ProtocolHandling::getDefaultTimeout() { return currentWait("14230 defaluttimeout = %d"); }

// The fast or 5-baud initialisation of a K-line takes seconds.
uint32_t ZPDUISO14230ProtocolHandling::getStartTimeout() { return constantStartWait("14230 starttimeout = %d", 9000); }

}  // namespace pdu::protocol
