#include "protocol/ZPDUISO11898RawProtocolHandling.h"

namespace pdu::protocol {

namespace {
// The CAN bus ComParams of a raw CAN link (short name -> VCI code).
const ComParamCodeTable kRawCanComParams = {
    {"CP_Baudrate", 165},      {"CP_BitSamplePoint", 167}, {"CP_ListenOnly", 174},
    {"CP_SamplesPerBit", 176}, {"CP_SyncJumpWidth", 178},  {"CP_TerminationType", 182},
};
constexpr uint32_t kRawCanPairCode = 0x100;
}  // namespace

void ZPDUISO11898RawProtocolHandling::parseComparam() {
  clearParamBlock();
  uint32_t count = blockWord(0);
  writePair(count, kRawCanPairCode, 0);
  writeBlockWord(0, count + 1);
  visitTable(&kRawCanComParams);
  logParamBlock(blockWord(0));
}

void ZPDUISO11898RawProtocolHandling::initUniqueRespComparam() {}

}  // namespace pdu::protocol
