// The device commands as the VCI sees them, stated in literals: the command
// byte and channel of every command, one whole frame as it goes over the
// wire (stuffing included), how long each command waits for a silent VCI,
// and the pauses of finding the VCI.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "device/DeviceCommands.h"
#include "device/DeviceLink.h"
#include "device/IoCtl.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "support/TestVci.h"

namespace pdu::device {
namespace {

using test::Bytes;
using test::ScopedPorts;
using test::TestVci;
using test::VciFrame;
using test::VciReply;

class CommandCodesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link_ = std::make_unique<DeviceLink>();
    ASSERT_TRUE(link_->OpenPortPath(vci.Path()));
    link_->StartReadThread();
    SetDeviceLink(link_.get());
  }
  void TearDown() override {
    SetDeviceLink(nullptr);
    link_.reset();
  }
  VciFrame LastFrame() {
    EXPECT_TRUE(vci.WaitForFrames(1, 2000));
    auto frames = vci.Frames();
    vci.ClearFrames();
    return frames.empty() ? VciFrame{} : frames.back();
  }

  std::unique_ptr<DeviceLink> link_;
  TestVci vci;
};

PDU_PARAM_ITEM U32Item(uint32_t* value) {
  return PDU_PARAM_ITEM{PDU_IT_PARAM, 1, PDU_PT_UNUM32, PDU_PC_COM, value};
}

uint32_t ReadingTimedOut(uint32_t hMod, const char* control) {
  PDU_DATA_ITEM* out = nullptr;
  const uint32_t result = IoCtlExecute(hMod, 0, control, &out, 1);
  if (out != nullptr) {
    delete[] static_cast<uint32_t*>(out->pData);
    delete out;
  }
  return result;
}

TEST_F(CommandCodesTest, EachCommandGoesOutWithItsByteOnTheVehicleChannel) {
  uint32_t value = 5;
  PDU_PARAM_ITEM item = U32Item(&value);
  PDU_RSC_DATA rsc{1, 1, 0, nullptr};
  struct Case {
    const char* what;
    std::function<void()> call;
    uint8_t command;
  };
  const Case cases[] = {
      {"OPEN", [] { VciOpen(); }, 0x01},
      {"SET_LINK_RESOURCE", [&] { VciSetLinkResource(1, 2, rsc, nullptr); }, 0x08},
      {"DESTROY_LINK", [] { VciDestroyLink(1, 2); }, 0x09},
      {"DISCONNECT_LINK", [] { VciDisconnectLink(); }, 0x0B},
      {"SET_LINK_PARAM", [&] { VciSetLinkParam(1, 2, 3, item); }, 0x0F},
      {"COP", [] { VciCop(1, 2, 0x8004, nullptr, 0, nullptr); }, 0x10},
      {"MODULE_CONNECT", [] { VciModuleConnect(1); }, 0x1B},
      {"MODULE_DISCONNECT", [] { VciModuleDisconnect(1); }, 0x1C},
      {"IOCTL", [] { ReadingTimedOut(1, "PDU_IOCTL_READ_VBATT"); }, 0x03},
      {"CLOSE", [] { VciClose(); }, 0x02},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.call();
    const VciFrame f = LastFrame();
    EXPECT_EQ(f.command, c.command);
    EXPECT_EQ(f.channel, 0x12);
    ASSERT_GE(f.wire.size(), 12u);
    EXPECT_EQ(f.wire[6], 0x12);
    EXPECT_EQ(f.wire[7], c.command);
  }
}

TEST_F(CommandCodesTest, AFrameOnTheWireIsStuffedAndSummed) {
  // MODULE_CONNECT for module 0x7E: the data byte 7E goes out as 7D 5E.
  EXPECT_EQ(VciModuleConnect(0x7E), 0u);
  const VciFrame f = LastFrame();
  const uint8_t seq = f.sequence;
  const uint8_t sum = static_cast<uint8_t>(0xEF + seq);
  ASSERT_NE(sum, 0x7E);
  ASSERT_NE(sum, 0x7D);
  EXPECT_EQ(f.wire, (Bytes{0x7E, 0x0E, 0x00, 0x31, seq, 0x01, 0x12, 0x1B, 0x04, 0x00, 0x7D, 0x5E, 0x00, 0x00,
                           0x00, sum, 0x7E}));

  // A 7D in the data goes out as 7D 5D.
  EXPECT_EQ(VciModuleConnect(0x7D), 0u);
  const VciFrame g = LastFrame();
  const uint8_t sum2 = static_cast<uint8_t>(0xEE + g.sequence);
  ASSERT_NE(sum2, 0x7E);
  ASSERT_NE(sum2, 0x7D);
  EXPECT_EQ(g.wire, (Bytes{0x7E, 0x0E, 0x00, 0x31, g.sequence, 0x01, 0x12, 0x1B, 0x04, 0x00, 0x7D, 0x5D, 0x00,
                           0x00, 0x00, sum2, 0x7E}));
}

// How long each command waits for an answer that never comes, and what it
// then returns. Waits never end early; the upper bound is generous for a
// loaded machine but well below ten times the wait.
TEST_F(CommandCodesTest, EachCommandWaitsItsOwnTimeForASilentVci) {
  vci.SetSilent(true);
  uint32_t value = 5;
  PDU_PARAM_ITEM item = U32Item(&value);
  PDU_RSC_DATA rsc{1, 1, 0, nullptr};
  struct Case {
    const char* what;
    std::function<uint32_t()> call;
    uint32_t result;
    uint32_t waitMs;
  };
  const Case cases[] = {
      {"SET_LINK_RESOURCE", [&] { return VciSetLinkResource(1, 2, rsc, nullptr); }, 0x11, 200},
      {"DESTROY_LINK", [] { return VciDestroyLink(1, 2); }, 0x11, 100},
      {"DISCONNECT_LINK", [] { return VciDisconnectLink(); }, 0x11, 100},
      {"SET_LINK_PARAM", [&] { return VciSetLinkParam(1, 2, 3, item); }, 0x11, 150},
      {"COP", [] { return VciCop(1, 2, 0x8004, nullptr, 0, nullptr); }, 0x11, 1500},
      {"CONNECT_LINK", [] { return VciConnectLink(1, 2, nullptr); }, 0x11, 100},
      {"MODULE_CONNECT", [] { return VciModuleConnect(1); }, 0x11, 100},
      {"MODULE_DISCONNECT", [] { return VciModuleDisconnect(1); }, 0x11, 100},
      {"IOCTL READ_VBATT", [] { return ReadingTimedOut(1, "PDU_IOCTL_READ_VBATT"); }, 0x01, 500},
      {"IOCTL READ_IGNITION_SENSE_STATE",
       [] { return ReadingTimedOut(1, "PDU_IOCTL_READ_IGNITION_SENSE_STATE"); }, 0x01, 100},
      {"CLOSE", [] { return VciClose(); }, 0x11, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t t0 = platform::ClockTicks();
    EXPECT_EQ(c.call(), c.result);
    const uint32_t elapsed = platform::ClockTicks() - t0;
    EXPECT_GE(elapsed + 1, c.waitMs);
    EXPECT_LT(elapsed, c.waitMs + 400);
  }
}

TEST_F(CommandCodesTest, OpenWaitsForALateAnswerAndVehicleDataWaitsThirtyMsMore) {
  // OPEN waits 10 s: an answer after 1.5 s is still taken.
  vci.Script(0x01, {VciReply{0x12, 0x01, TestVci::Words({0, 0}), 1500}});
  EXPECT_EQ(VciOpen(), 0u);

  vci.SetSilent(true);
  uint32_t length = 0;
  const uint32_t t0 = platform::ClockTicks();
  EXPECT_EQ(ReadVehicleData(200, length), 7u);
  const uint32_t elapsed = platform::ClockTicks() - t0;
  EXPECT_GE(elapsed + 1, 230u);
  EXPECT_LT(elapsed, 600u);
}

// Finding the VCI: 500 ms to settle after opening the port, then the probe,
// which waits 1100 ms for an answer and is tried twice.
TEST(CommandCodes, ProbeComesAfterTheSettleTimeAndWaitsForALateAnswer) {
  TestVci vci;
  // The first probe is answered after 900 ms: within the probe's wait.
  vci.Script(0x05, {VciReply{0x01, 0x05, Bytes(16, 0x00), 900}});
  ScopedPorts ports({vci.Path()});
  DeviceLink link;
  const uint32_t t0 = platform::ClockTicks();
  ASSERT_TRUE(link.OpenPort());
  const uint32_t elapsed = platform::ClockTicks() - t0;
  auto probes = vci.FramesWithCommand(0x05);
  ASSERT_EQ(probes.size(), 1u) << "the late answer is taken, no second probe";
  EXPECT_EQ(probes[0].channel, 0x01);
  EXPECT_GE(probes[0].tick - t0 + 1, 500u) << "the settle time before the probe";
  EXPECT_LT(probes[0].tick - t0, 1000u);
  EXPECT_GE(elapsed + 1, 1400u);
  EXPECT_LT(elapsed, 2200u);
}

}  // namespace
}  // namespace pdu::device
