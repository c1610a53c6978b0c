// The device commands as the VCI sees them, stated in literals: the command
// byte, channel and payload of every command, what an answer's status
// makes of the result, vehicle-data records, and that nothing at all is
// sent without a device link. (Whole frames on the wire, stuffing and
// checksum included: DeviceFrameTest.cpp. How long each command waits:
// CommandTimeoutTest.cpp, on the manual clock.)
#include "device/DeviceCommands.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "LinkOnVci.h"

namespace pdu::device {
namespace {

using test::Bytes;
using test::Cat;
using test::TestVci;
using test::VciFrame;

class CommandCodesTest : public LinkOnVci<> {
 protected:
  void SetUp() override { OpenOn(vci); }
  VciFrame LastFrame() {
    EXPECT_TRUE(vci.WaitForFrames(1, 2000));
    auto frames = vci.Frames();
    vci.ClearFrames();
    return frames.empty() ? VciFrame{} : frames.back();
  }

  TestVci vci;
};

PDU_PARAM_ITEM U32Item(uint32_t* value) { return PDU_PARAM_ITEM{0x1200, 1, 0x105, 3, value}; }

Bytes W(std::initializer_list<uint32_t> words) { return TestVci::Words(words); }

// Command byte and payload, word by word (u32 little-endian), of each
// command; every one goes out on the vehicle channel 0x12.
TEST_F(CommandCodesTest, EachCommandGoesOutWithItsByteAndPayloadOnTheVehicleChannel) {
  PDU_PIN_DATA pins[2] = {{6, 1}, {14, 2}};
  PDU_RSC_DATA rsc{12, 3, 2, pins};
  uint8_t flagBytes[3] = {0xA1, 0xA2, 0xA3};
  PDU_FLAG_DATA flags{3, flagBytes};
  uint8_t fieldBytes[3] = {0x02, 0x3E, 0x80};
  PDU_PARAM_BYTEFIELD_DATA field{12, 3, fieldBytes};
  PDU_PARAM_ITEM byteItem{0x1200, 900, 0x107, 3, &field};
  uint32_t u32 = 0x12345678;
  PDU_PARAM_ITEM u32Item{0x1200, 901, 0x105, 1, &u32};
  uint8_t u8 = 0xF1;
  PDU_PARAM_ITEM u8Item{0x1200, 902, 0x101, 3, &u8};
  const uint8_t request[] = {0x22, 0xF1, 0x90};
  uint8_t tx[2] = {0x01, 0x02};
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = -1;
  ctrl.TxFlag = {2, tx};
  struct Case { const char* what; std::function<void()> call; uint8_t command; Bytes payload; };
  const Case cases[] = {
      {"OPEN", [] { VciOpen(); }, 0x01, {}},
      {"SET_LINK_RESOURCE", [&] { VciSetLinkResource(1, 7, rsc, &flags); }, 0x08,
       Cat({W({1, 12, 3, 2, 6, 1, 14, 2, 0, 7, 3}), Bytes{0xA1, 0xA2, 0xA3}})},
      {"SET_LINK_RESOURCE without flags", [&] { VciSetLinkResource(1, 7, rsc, nullptr); }, 0x08,
       W({1, 12, 3, 2, 6, 1, 14, 2, 0, 7, 0})},
      {"DESTROY_LINK", [] { VciDestroyLink(1, 7); }, 0x09, W({1, 7})},
      {"DISCONNECT_LINK", [] { VciDisconnectLink(); }, 0x0B, {}},
      {"SET_LINK_PARAM byte field", [&] { VciSetLinkParam(1, 7, 42, byteItem); }, 0x0F,
       Cat({W({1, 7, 42, 0x107}), Bytes{12, 3, 0x02, 0x3E, 0x80}})},
      {"SET_LINK_PARAM u32", [&] { VciSetLinkParam(1, 7, 15, u32Item); }, 0x0F, W({1, 7, 15, 0x105, 0x12345678})},
      {"SET_LINK_PARAM u8", [&] { VciSetLinkParam(1, 7, 16, u8Item); }, 0x0F, W({1, 7, 16, 0x101, 0xF1})},
      {"COP", [&] { VciCop(1, 7, 0x8004, request, 3, &ctrl); }, 0x10,
       Cat({W({1, 7, 0x8004, 3}), Bytes{0x22, 0xF1, 0x90}, W({1, 0xFFFFFFFF, 2}), Bytes{0x01, 0x02}})},
      {"COP without control data", [] { VciCop(1, 7, 0x8001, nullptr, 0, nullptr); }, 0x10,
       W({1, 7, 0x8001, 0, 0, 0, 0})},
      {"MODULE_CONNECT", [] { VciModuleConnect(1); }, 0x1B, W({1})},
      {"MODULE_DISCONNECT", [] { VciModuleDisconnect(1); }, 0x1C, W({1})},
      {"IOCTL READ_VBATT", [] { Reading("PDU_IOCTL_READ_VBATT"); }, 0x03, Cat({W({1, 0}), Bytes{0x06}})},
      {"IOCTL READ_IGNITION_SENSE_STATE", [] { Reading("PDU_IOCTL_READ_IGNITION_SENSE_STATE"); }, 0x03,
       Cat({W({1, 0}), Bytes{0x11}})},
      {"CLOSE", [] { VciClose(); }, 0x02, W({0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.call();
    const VciFrame f = LastFrame();
    EXPECT_EQ(f.command, c.command);
    EXPECT_EQ(f.channel, 0x12);
    EXPECT_EQ(f.data, c.payload);
    ASSERT_GE(f.wire.size(), 12u);
    EXPECT_EQ(f.wire[6], 0x12);
    EXPECT_EQ(f.wire[7], c.command);
  }
  EXPECT_FALSE(link_->PortIsOpen()) << "an answered CLOSE closes the port";
}

// The status word of the answer is the command's result; CONNECT_LINK
// counts only the answer's arrival, OPEN takes its second word only when it
// succeeded, and an answer shorter than the status word is no answer.
TEST_F(CommandCodesTest, TheAnswersStatusIsTheResult) {
  for (uint8_t c : {0x01, 0x08, 0x09, 0x0B, 0x0F, 0x10, 0x1A, 0x1B, 0x1C}) vci.SetStatus(c, 0x33);
  PDU_RSC_DATA rsc{12, 3, 0, nullptr};
  uint32_t v = 1;
  PDU_PARAM_ITEM item = U32Item(&v);
  uint32_t openWord = 0xAAAA;
  EXPECT_EQ(VciOpen(&openWord), 0x33u);
  EXPECT_EQ(openWord, 0xAAAAu);
  EXPECT_EQ(VciSetLinkResource(1, 1, rsc, nullptr), 0x33u);
  EXPECT_EQ(VciDestroyLink(1, 1), 0x33u);
  EXPECT_EQ(VciDisconnectLink(), 0x33u);
  EXPECT_EQ(VciSetLinkParam(1, 1, 1, item), 0x33u);
  EXPECT_EQ(VciCop(1, 1, 0x8004, nullptr, 0, nullptr), 0x33u);
  EXPECT_EQ(VciConnectLink(1, 1, nullptr), 0u);
  EXPECT_EQ(VciModuleConnect(1), 0x33u);
  EXPECT_EQ(VciModuleDisconnect(1), 0x33u);

  vci.SetStatus(0x01, 0);
  vci.SetOpenWord(0x01020304);
  EXPECT_EQ(VciOpen(&openWord), 0u);
  EXPECT_EQ(openWord, 0x01020304u);

  vci.Script(0x1B, {{0x12, 0x1B, {0, 0, 0}, 0}});
  EXPECT_EQ(VciModuleConnect(1), 0x11u);
  vci.HangUp();
  EXPECT_EQ(VciOpen(), 7u);
}

TEST(CommandCodes, NothingIsSentWithoutADeviceLink) {
  TestVci vci;
  SetDeviceLink(nullptr);
  PDU_RSC_DATA rsc{12, 3, 0, nullptr};
  uint32_t v = 1;
  PDU_PARAM_ITEM item = U32Item(&v);
  EXPECT_EQ(VciOpen(), 7u);
  EXPECT_EQ(VciClose(), 0x11u);
  EXPECT_EQ(VciSetLinkResource(1, 1, rsc, nullptr), 0x11u);
  EXPECT_EQ(VciSetLinkParam(1, 1, 1, item), 0x11u);
  EXPECT_EQ(VciCop(1, 1, 0x8004, nullptr, 0, nullptr), 0x11u);
  EXPECT_EQ(VciConnectLinkTp20(1, 1, nullptr, 0), 0x11u);
  EXPECT_EQ(VciDestroyLink(1, 1), 0x11u);
  EXPECT_EQ(VciDisconnectLink(), 0x11u);
  EXPECT_EQ(VciModuleConnect(1), 0x11u);
  EXPECT_EQ(VciModuleDisconnect(1), 0x11u);
  uint32_t len = 99;
  EXPECT_EQ(ReadVehicleData(10, len), 7u);
  EXPECT_EQ(len, 0u);
  for (const char* reading : {"PDU_IOCTL_READ_VBATT", "PDU_IOCTL_READ_IGNITION_SENSE_STATE"}) {
    PDU_DATA_ITEM* out = nullptr;
    EXPECT_EQ(IoCtlExecute(1, 0, reading, &out, 1), 0x01u) << reading;
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->ItemType, 0x1000u);
    EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 0u);
    delete[] static_cast<uint32_t*>(out->pData);
    delete out;
  }
  EXPECT_EQ(vci.FrameCount(), 0u);
}

// A vehicle-data frame (0x1E) becomes a record in the receive data: timestamp word,
// UniqueRespIdentifier, two zero words, NumDataBytes, the message. The
// frame's status word is the result, and a record beyond 4096 bytes is cut.
TEST_F(CommandCodesTest, VehicleDataBecomesARecordInRxData) {
  vci.SendVehicleData(0x0, 0xCAFE, 9, {0x62, 0xF1});
  uint32_t len = 0;
  EXPECT_EQ(ReadVehicleData(500, len), 0u);
  ASSERT_EQ(len, 22u);
  EXPECT_EQ(Bytes(RxData(), RxData() + 22), Cat({W({0xCAFE, 9, 0, 0, 2}), Bytes{0x62, 0xF1}}));
  vci.SendVehicleData(0x21, 0, 1, Bytes(4100, 0x5A));
  EXPECT_EQ(ReadVehicleData(500, len), 0x21u);
  EXPECT_EQ(len, 4096u);
  EXPECT_EQ(RxData()[4095], 0x5A);
}

// Busy engine: the battery reading is made up around 12345 mV, within
// +-499 mV (11846..12844), on both sides of the middle.
TEST(CommandCodes, SubstituteVoltageStaysInRangeOnBothSides) {
  bool above = false, below = false;
  for (uint32_t seed = 0; seed < 2000; ++seed) {
    const uint32_t mv = SubstituteBatteryVoltage(seed * 7919u);
    ASSERT_GE(mv, 11846u);
    ASSERT_LE(mv, 12844u);
    above |= mv > 12345;
    below |= mv < 12345;
  }
  EXPECT_TRUE(above && below);
}

}  // namespace
}  // namespace pdu::device
