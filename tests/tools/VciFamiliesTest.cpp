// The simulated VCI per protocol family, on the wire: the COP command's
// request as the library sends it (identifier in front, or four zero bytes
// behind) and the messages of the vehicle-data frames that come back.
#include <gtest/gtest.h>

#include "Scenario.h"
#include "VciDevice.h"
#include "Hex.h"

namespace vcisim {
namespace {

const char* const kCar = R"({
  "ecus": [
    {"name": "uds", "bus": "can", "request_id": "0x7E0", "response_id": "0x7E8", "delay_ms": 1,
     "data_ids": {"F190": "ascii:VIN"}},
    {"name": "obd-can", "bus": "can", "behaviour": "obd", "request_id": "0x7E3", "response_id": "0x7EB",
     "functional_id": null, "delay_ms": 1},
    {"name": "raw", "bus": "can", "behaviour": "raw", "request_id": "0x710", "response_id": "0x718", "delay_ms": 1,
     "requests": [{"request": "01", "responses": ["02"]}]},
    {"name": "tp16", "bus": "tp16", "address": 1, "delay_ms": 1, "identification": {"9B": "ascii:ID"}},
    {"name": "kw1281", "bus": "tp16", "behaviour": "kw1281", "address": 1, "delay_ms": 1},
    {"name": "kwp", "bus": "kline", "address": "0x10", "functional_address": null, "delay_ms": 1,
     "local_ids": {"01": "11"}},
    {"name": "obd", "bus": "kline", "behaviour": "obd", "address": "0x12", "functional_address": "0x33",
     "delay_ms": 1},
    {"name": "vw", "bus": "kline", "behaviour": "kw1281", "address": 1, "functional_address": null, "delay_ms": 1},
    {"name": "pcm", "bus": "j1850", "address": "0x10", "delay_ms": 1, "dtcs": ["P0171"]},
    {"name": "engine", "bus": "j1939", "address": 0, "delay_ms": 1, "data_ids": {"FEE5": "01 02"}},
    {"name": "brakes", "bus": "j1939", "address": 11, "delay_ms": 1},
    {"name": "mid80", "bus": "j1708", "address": "0x80", "delay_ms": 1, "data_ids": {"BE": "40 1F"}},
    {"name": "mid88", "bus": "j1708", "address": "0x88", "delay_ms": 1, "data_ids": {"54": "63"}},
    {"name": "sci", "bus": "sci", "delay_ms": 1, "data_ids": {"2847": "12"}}
  ]
})";

struct Row {
  const char* what;
  uint32_t bus, protocol;
  std::vector<std::pair<uint32_t, uint32_t>> params;  // VCI code, value
  uint32_t copType;
  const char* request;     // as the COP command carries it
  int32_t receiveCycles;   // NumReceiveCycles
  std::vector<const char*> messages;  // vehicle-data messages, in order
};

class VciFamilies : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto s = ParseScenario(kCar, error);
    ASSERT_TRUE(s) << error;
    device_ = std::make_unique<VciDevice>(*s);
  }

  std::vector<std::string> Run(const Row& r) {
    const uint32_t hCLL = ++hCLL_;
    device_->OnFrame(0x12, 0x08, Words({1, r.bus, r.protocol, 0, 0, hCLL, 0}), 0);
    for (auto [c, v] : r.params) device_->OnFrame(0x12, 0x0F, Words({1, hCLL, c, 0x105, v}), 0);
    device_->OnFrame(0x12, 0x1A, Words({1, hCLL, 0x1700, 0, 0, 0}), 0);
    const Bytes cop = CopData(hCLL, r.copType, H(r.request), static_cast<uint32_t>(r.receiveCycles));
    std::vector<std::string> out;
    for (const OutFrame& f : device_->OnFrame(0x12, 0x10, cop, 1000)) {
      if (f.command != 0x1E) continue;
      EXPECT_EQ(f.data.size(), 16 + (f.data[12] | f.data[13] << 8)) << r.what;
      out.push_back(HexSpaced(Bytes(f.data.begin() + 16, f.data.end())));
    }
    return out;
  }

  std::unique_ptr<VciDevice> device_;
  uint32_t hCLL_ = 0;
};

TEST_F(VciFamilies, RequestAndAnswerLayoutPerFamily) {
  const uint32_t kStart = 0x8001, kStop = 0x8002, kSend = 0x8004;
  const Row rows[] = {
      {"ISO 15765: identifier in front both ways", 12, 2, {}, kSend, "E0 07 00 00 22 F1 90", 1,
       {"E8 07 00 00 62 F1 90 56 49 4E"}},
      {"OBD on ISO 15765-4: mode 01 behind the identifier", 12, 26, {}, kSend, "E3 07 00 00 01 0D", 1,
       {"EB 07 00 00 41 0D 32"}},
      {"ISO 15765 STARTCOMM: an empty frame", 12, 2, {}, kStart, "E0 07 00 00", 1, {""}},
      {"raw CAN: frame + four zero bytes; answer with the response identifier", 12, 18, {}, kSend,
       "10 07 00 00 01 00 00 00 00", 1, {"18 07 00 00 02"}},
      {"raw CAN without a rule: the data echoed", 12, 18, {}, kSend, "10 07 00 00 05 06 00 00 00 00", 1,
       {"18 07 00 00 05 06"}},
      {"raw CAN listening: the answer (the bus's traffic: BusTrafficTest)", 12, 18, {}, kSend,
       "10 07 00 00 01 00 00 00 00", -1, {"18 07 00 00 02"}},
      {"raw CAN: more than 8 data bytes go nowhere", 12, 18, {}, kSend,
       "10 07 00 00 01 02 03 04 05 06 07 08 09 00 00 00 00", 1, {}},
      {"TP1.6 KWP2000: the connection id in front of the answer", 12, 101, {{200, 1}}, kSend,
       "1A 9B 00 00 00 00", 1, {"00 03 00 00 5A 9B 49 44"}},
      {"TP1.6 KW1281: the KW1281 ECU at the same address", 12, 104, {{200, 1}}, kSend, "09 00 00 00 00", 1,
       {"00 03 00 00 09"}},
      {"TP1.6 channel set-up", 12, 101, {{200, 1}}, kStart, "00 00 00 00", 1,
       {"01 02 00 00 00 D0 40 07 00 03 01"}},
      {"TP1.6 channel close", 12, 104, {{200, 1}}, kStop, "00 00 00 00", 1, {"00 03 00 00 A8"}},
      {"TP1.6: nobody at address 5", 12, 101, {{200, 5}}, kStart, "00 00 00 00", 1, {}},
      {"ISO 14230 fast init: the ECU's key bytes", 14, 0, {{142, 1}, {139, 0x10}}, kStart, "00 00 00 00", 1,
       {"C1 EF 8F"}},
      {"ISO 14230: service bytes both ways", 14, 0, {{142, 1}, {139, 0x10}}, kSend, "21 01 00 00 00 00", 1,
       {"61 01 11"}},
      {"OBD on ISO 14230-4 at 0x33: key bytes 8F E9", 14, 24, {{142, 1}, {139, 0x33}}, kStart, "00 00 00 00", 1,
       {"C1 E9 8F"}},
      {"ISO 9141 5-baud init at 0x33: sync and key bytes", 13, 9, {{142, 2}, {52, 0x33}}, kStart, "00 00 00 00",
       1, {"55 08 08"}},
      {"OBD on ISO 9141-2: the 3-byte header in front", 13, 9, {{142, 2}, {52, 0x33}}, kSend,
       "01 0C 00 00 00 00", 1, {"48 6B 12 41 0C 1A F8"}},
      {"KW1281 on ISO 9141 at 01: key bytes 01 8A", 13, 103, {{53, 1}}, kStart, "00 00 00 00", 1,
       {"55 01 8A"}},
      {"a protocol without code on bus 13 runs on the 9141 line", 13, 0xFFFFFFFF, {{53, 1}}, kSend,
       "07 00 00 00 00", 1, {"FC FF FF 88"}},
      {"J1850 VPW: header 48 6B, mode 03 padded", 8, 10, {{142, 2}, {111, 0x6A}}, kSend, "03 00 00 00 00", 1,
       {"48 6B 10 43 01 71 00 00 00 00"}},
      {"J1850 PWM: header 41 6B", 9, 25, {{142, 2}, {111, 0x6A}}, kSend, "01 0D 00 00 00 00", 1,
       {"41 6B 10 41 0D 32"}},
      {"J1850 STARTCOMM: an empty frame", 9, 25, {}, kStart, "00 00 00 00", 1, {""}},
      {"J1939 request PGN to address 0", 12, 15, {}, kSend, "F9 00 EA 98 E5 FE 00 00 00 00 00", 1,
       {"00 E5 FE 98 01 02"}},
      {"J1939 DM1 without codes", 12, 15, {}, kSend, "F9 00 EA 98 CA FE 00 00 00 00 00", 1,
       {"00 CA FE 98 00 FF 00 00 00 00 FF FF"}},
      {"J1939 unknown PGN asked directly: NACK", 12, 15, {}, kSend, "F9 0B EA 98 00 AB 00 00 00 00 00", 1,
       {"0B FF E8 98 01 FF FF FF F9 00 AB 00"}},
      {"J1939 unknown PGN asked globally: silence", 12, 15, {}, kSend, "F9 FF EA 98 00 AB 00 00 00 00 00", 1,
       {}},
      {"J1587 PID 0: whoever has the PID", 6, 16, {}, kSend, "AC 00 54 00 00 00 00", 1, {"88 54 63"}},
      {"J1587 PID 128: only the MID named", 6, 16, {}, kSend, "AC 80 BE 80 00 00 00 00", 1, {"80 BE 40 1F"}},
      {"SCI: echo and value", 5, 17, {}, kSend, "28 47 00 00 00 00", 1, {"28 47 12"}},
  };
  for (const Row& r : rows) {
    std::vector<std::string> want(r.messages.begin(), r.messages.end());
    EXPECT_EQ(Run(r), want) << r.what;
  }
}

}  // namespace
}  // namespace vcisim
