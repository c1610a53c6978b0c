#include "protocol/ZPDUJ1850PWMProtocolHandling.h"

namespace pdu::protocol {

namespace {
// The J1850 ComParams (short name -> VCI code).
const ComParamCodeTable kJ1850ComParams = {
    {"CP_Baudrate", 165}, {"CP_FuncReqTargetAddr", 111}, {"CP_HeaderFormatJ1850", 112},
    {"CP_P2Max", 15},     {"CP_PhysReqTargetAddr", 139}, {"CP_TesterSourceAddress", 153},
};
constexpr uint32_t kJ1850PairCode = 3;
}  // namespace

void ZPDUJ1850PWMProtocolHandling::parseComparam() {
  clearParamBlock();
  visitTable(&kJ1850ComParams);
  writePair(blockWord(0), kJ1850PairCode, 0);
  writeBlockWord(0, 1);
  logParamBlock(1);
}

void ZPDUJ1850PWMProtocolHandling::initUniqueRespComparam() {}

}  // namespace pdu::protocol
