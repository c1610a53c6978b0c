// Fuzz target: every protocol handler's parseResponse on arbitrary vehicle
// data records (the record ReadVehicleData leaves in the receive data: five words,
// then the message bytes; see protocol/ReceivedRecord.h).
//
// Input: first byte picks the handler (one protocol per handler class, and
// the functional-addressing and DoIP rows), the rest is the record with
// its received length. Each record is parsed twice in a row, as the engine
// does for response-pending answers, and every result is released.
#include "FuzzSupport.h"
#include "protocol/CreateProtocolHandler.h"
#include "protocol/ResultData.h"

namespace {

constexpr const char* kProtocols[] = {
    "ISO_14230_3_on_ISO_14230_2",   "ISO_15765_3_on_ISO_15765_2", "ISO_OBD_on_ISO_15765_4",
    "SAE_J2190_on_ISO_9141",        "SAE_J2190_on_SAE_J1850_VPW", "ISO_OBD_on_SAE_J1850",
    "SAE_J1939_73_on_SAE_J1939_21", "SAE_J1587_on_SAE_J1708",     "SAE_J2610_on_SAE_J2610_SCI",
    "KW82_on_KW_UART",              "KW71_on_KW_UART",            "ISO_11898_RAW",
    "MSP_VW2000LP_on_TP20",         "MSP_KW1281_on_TP16",         "MSP_VW2000LP_on_TP16",
    "ISO_14229_5_on_ISO_13400_2",
};
constexpr size_t kProtocolCount = sizeof kProtocols / sizeof kProtocols[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pdu::fuzz::FuzzHome();
  if (size < 1) return 0;
  auto handler = pdu::protocol::CreateProtocolHandler(kProtocols[data[0] % kProtocolCount]);
  FUZZ_CHECK(handler != nullptr);
  const uint8_t* record = data + 1;
  const uint32_t length = static_cast<uint32_t>(size - 1);

  for (int pass = 0; pass < 2; ++pass) {
    PDU_RESULT_DATA result{};
    uint32_t flags = 0;
    const auto cls = handler->parseResponse(record, length, &flags, &result);
    (void)cls;
    FUZZ_CHECK(result.NumDataBytes == 0 || result.pDataBytes != nullptr);
    pdu::protocol::FreeResultMembers(&result);
  }
  // The null arguments a caller may pass change nothing.
  PDU_RESULT_DATA result{};
  uint32_t flags = 0;
  (void)handler->parseResponse(nullptr, length, &flags, &result);
  (void)handler->parseResponse(record, length, nullptr, &result);
  (void)handler->parseResponse(record, length, &flags, nullptr);
  pdu::protocol::FreeResultMembers(&result);
  (void)handler->getDefaultTimeout();
  return 0;
}
