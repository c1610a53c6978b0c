#include "protocol/ZPDUKW71_On_UartProtocolHandling.h"

namespace pdu::protocol {

namespace {
// The KW UART ComParams (short name -> VCI code).
const ComParamCodeTable kKw71ComParams = {
    {"CP_5BaudAddressPhys", 53}, {"CP_Baudrate", 165},   {"CP_K_L_LineInit", 172},
    {"CP_K_LinePullup", 173},    {"CP_UartConfig", 184},
};
}  // namespace

void ZPDUKW71_On_UartProtocolHandling::parseComparam() {
  clearParamBlock();
  writeBlockWord(0, 1);
  visitTable(&kKw71ComParams);
  logParamBlock(1);
}

void ZPDUKW71_On_UartProtocolHandling::initUniqueRespComparam() {}

}  // namespace pdu::protocol
