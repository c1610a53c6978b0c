#include "protocol/ZPDUISO15765ProtocolHandling.h"

#include "log/PduLog.h"

namespace pdu::protocol {

using log::LogMain;

namespace {
constexpr uint32_t kFunctionalAddressing = 2;
}

void ZPDUISO15765ProtocolHandling::parseComparam() {
  LogMain("--------ISO15765------------1");
  LogMain("----------------------------1");
  clearParamBlock();
  BlockSize = FillerByteHandling = FillerByte = 0;
  FuncReqExtAddr = FuncReqFormat = FuncReqId = 0;
  PhysReqExtAddr = PhysReqFormat = PhysReqId = 0;
  RespUSDTId = RespUSDTExtAddr = RespUUDTFormat = 0;
  RequestAddrMode = P2MaxValue = Baudrate = 0;

  uint32_t n = 0;
  readIntoParamBlock("CP_BlockSize", BlockSize, n);
  readIntoParamBlock("CP_CanFillerByteHandling", FillerByteHandling, n);
  readIntoParamBlock("CP_CanFillerByte", FillerByte, n);
  readIntoParamBlock("CP_CanFuncReqExtAddr", FuncReqExtAddr, n);
  readIntoParamBlock("CP_CanFuncReqFormat", FuncReqFormat, n);
  readIntoParamBlock("CP_CanFuncReqId", FuncReqId, n);
  readIntoParamBlock("CP_CanPhysReqExtAddr", PhysReqExtAddr, n);
  readIntoParamBlock("CP_CanPhysReqFormat", PhysReqFormat, n);
  readIntoParamBlock("CP_CanPhysReqId", PhysReqId, n);
  readIntoParamBlock("CP_CanRespUSDTExtAddr", RespUSDTExtAddr, n);
  readIntoParamBlock("CP_CanRespUUDTFormat", RespUUDTFormat, n);
  readIntoParamBlock("CP_CanRespUSDTId", RespUSDTId, n);
  readIntoParamBlock("CP_RequestAddrMode", RequestAddrMode, n);
  readIntoParamBlock("CP_Baudrate", Baudrate, n);
  readIntoParamBlock("CP_P2Max", P2MaxValue, n);
  logParamBlock(n);
  LogMain("15765 paras end");
  RequestId = RequestAddrMode == kFunctionalAddressing ? FuncReqId : PhysReqId;
  LogMain("15765 paras end1");
}

void ZPDUISO15765ProtocolHandling::initUniqueRespComparam() {
  UniqueRespComparamMap = {
      {59, "CP_CanPhysReqExtAddr"},  {60, "CP_CanPhysReqFormat"},  {61, "CP_CanPhysReqId"},
      {62, "CP_CanRespUSDTExtAddr"}, {63, "CP_CanRespUSDTFormat"}, {64, "CP_CanRespUSDTId"},
      {65, "CP_CanRespUUDTExtAddr"}, {66, "CP_CanRespUUDTFormat"}, {67, "CP_CanRespUUDTId"},
  };
}

// Nothing calls it; the addressing mode comes from CP_RequestAddrMode.
void ZPDUISO15765ProtocolHandling::setRequestAddrMode(uint32_t, uint32_t) {}

uint32_t ZPDUISO15765ProtocolHandling::buildRequest(const uint8_t* src, uint32_t len, uint8_t* dst) {
  uint32_t id = RequestId;
  return buildRequestWith(src, len, dst, &id, true);
}

uint32_t ZPDUISO15765ProtocolHandling::getDefaultTimeout() { return p2PlusOneSecond("defaulttimeout = %d"); }

uint32_t ZPDUISO15765ProtocolHandling::getStartTimeout() { return ZPDUProtocolHandling::getStartTimeout(); }

}  // namespace pdu::protocol
