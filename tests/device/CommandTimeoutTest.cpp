// How long each command waits for a VCI that does not answer, and the open
// sequence's pauses, to the millisecond, on the manual clock: one
// millisecond before its timeout the command still waits, at the timeout it
// fails with its own result.

#include <chrono>
#include <future>
#include <ostream>

#include "device/DeviceCommands.h"
#include "LinkOnVci.h"
#include "support/TestClock.h"
#include "support/WireCodes.h"

namespace pdu::device {
namespace {

struct TimedCommand {
  const char* name;
  uint32_t timeoutMs;
  std::function<T_PDU_ERROR()> call;
  uint32_t result = 0x11;  // communication PC to VCI failed
};

void PrintTo(const TimedCommand& c, std::ostream* os) { *os << c.name; }

class CommandTimeout : public LinkOnVci<::testing::TestWithParam<TimedCommand>> {
 protected:
  void SetUp() override {
    vci_.SetSilent(true);
    OpenOn(vci_);
  }

  test::ManualClock clock_;  // first: every wait of the link runs on it
  test::TestVci vci_;
};

TEST_P(CommandTimeout, FailsExactlyAtItsTimeout) {
  const TimedCommand& c = GetParam();
  const uint32_t deadline = clock_.Ticks() + c.timeoutMs;
  auto result = std::async(std::launch::async, c.call);
  // The receive thread's read and the command's wait for its answer.
  ASSERT_TRUE(clock_.WaitForBlocked(2));
  clock_.Advance(c.timeoutMs - 1);
  // A millisecond before, the command still waits, and until exactly then.
  ASSERT_TRUE(clock_.WaitForWaitUntil(deadline, 1000))
      << c.name << " gave up before " << c.timeoutMs << " ms; waits end at "
      << testing::PrintToString(clock_.Deadlines());
  clock_.Advance(1);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << c.name << " still waits after " << c.timeoutMs << " ms";
  EXPECT_EQ(result.get(), c.result) << c.name;
  EXPECT_TRUE(link_->PortIsOpen()) << "a failed " << c.name << " leaves the port to the caller";
  if (c.timeoutMs != 230) {  // reading vehicle data sends nothing
    ASSERT_TRUE(vci_.WaitForFrames(1, 2000));
  }
}

const PDU_RSC_DATA kRsc{12, 3, 0, nullptr};
uint32_t g_value = 1;
const PDU_PARAM_ITEM kItem{PDU_IT_PARAM, 1, PDU_PT_UNUM32, PDU_PC_COM, &g_value};
const uint8_t kRequest[] = {0x22, 0xF1, 0x90};

T_PDU_ERROR VehicleData200() {
  uint32_t length = 0;
  return ReadVehicleData(200, length);
}

INSTANTIATE_TEST_SUITE_P(
    SilentVci, CommandTimeout,
    ::testing::Values(
        TimedCommand{"CLOSE", 1000, [] { return VciClose(); }},
        TimedCommand{"SET_LINK_RESOURCE", 200, [] { return VciSetLinkResource(1, 1, kRsc, nullptr); }},
        TimedCommand{"DESTROY_LINK", 100, [] { return VciDestroyLink(1, 1); }},
        TimedCommand{"DISCONNECT_LINK", 100, [] { return VciDisconnectLink(); }},
        TimedCommand{"SET_LINK_PARAM", 150, [] { return VciSetLinkParam(1, 1, 1, kItem); }},
        TimedCommand{"COP", 1500, [] { return VciCop(1, 1, 1, kRequest, 3, nullptr); }},
        TimedCommand{"CONNECT_LINK", 100, [] { return VciConnectLink(1, 1, nullptr); }},
        TimedCommand{"MODULE_CONNECT", 100, [] { return VciModuleConnect(1); }},
        TimedCommand{"MODULE_DISCONNECT", 100, [] { return VciModuleDisconnect(1); }},
        TimedCommand{"OPEN", 10000, [] { return VciOpen(); }, 7},
        TimedCommand{"IOCTL_READ_VBATT", 500, [] { return Reading("PDU_IOCTL_READ_VBATT"); }, 0x01},
        TimedCommand{"IOCTL_READ_IGNITION", 100, [] { return Reading("PDU_IOCTL_READ_IGNITION_SENSE_STATE"); }, 0x01},
        // Vehicle data: the caller's 200 ms and 30 ms more; 7 = no data.
        TimedCommand{"VEHICLE_DATA_200", 230, VehicleData200, 7}),
    [](const ::testing::TestParamInfo<TimedCommand>& info) { return std::string(info.param.name); });

// The open sequence's pauses: the first PROBE goes out 500 ms after the
// port is opened, each PROBE waits 1100 ms for its answer, and a port that
// answers neither of two PROBEs is given up at 2700 ms.
class OpenSequence : public ::testing::Test {
 protected:
  // Moves the clock to ms after the start and checks that the VCI's
  // count-th frame arrives exactly then: not one millisecond earlier.
  void StepTo(uint32_t ms, size_t count) {
    const uint32_t now = clock_.Ticks() - start_;
    ASSERT_LT(now, ms);
    clock_.Advance(ms - now - 1);
    EXPECT_FALSE(vci_.WaitForFrames(count, 50)) << "frame " << count << " before " << ms << " ms";
    clock_.Advance(1);
    ASSERT_TRUE(vci_.WaitForFrames(count, 5000)) << "no frame " << count << " at " << ms << " ms";
    EXPECT_EQ(vci_.Frames()[count - 1].tick - start_, ms);
  }

  test::ManualClock clock_;
  test::TestVci vci_;
  test::ScopedPorts ports_{{vci_.Path()}};
  uint32_t start_ = clock_.Ticks();
};

TEST_F(OpenSequence, ASilentPortGetsTwoProbesOf1100MsEach) {
  vci_.SetSilent(true);
  DeviceLink link;
  auto found = std::async(std::launch::async, [&] { return link.OpenPort(); });
  ASSERT_TRUE(clock_.WaitForBlocked(2));
  StepTo(500, 1);
  ASSERT_TRUE(clock_.WaitForBlocked(2));
  StepTo(1600, 2);
  EXPECT_EQ(vci_.Frames()[0].command, test::kCmdProbe);
  EXPECT_EQ(vci_.Frames()[1].command, test::kCmdProbe);
  ASSERT_TRUE(clock_.WaitForBlocked(2));
  clock_.Advance(2700 - (clock_.Ticks() - start_) - 1);
  EXPECT_EQ(found.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "gave up before 2700 ms";
  clock_.Advance(1);
  ASSERT_EQ(found.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(found.get());
  EXPECT_EQ(vci_.FrameCount(), 2u);
}


// The device link on a live bus and on a line that goes away, on the manual
// clock: a stopping engine ends the wait for vehicle data at once while
// command answers still come in; a VCI whose line fails is lost at once
// (reads, writes, readings), until the line is opened again. (OPEN dropping
// an earlier client's vehicle data: LiveBus.ANewConstructionDoesNotSee...)
class LiveLink : public LinkOnVci<> {
 protected:
  void SetUp() override { OpenOn(vci_); }
  std::future<uint32_t> WaitForVehicleData(uint32_t timeoutMs) {
    return std::async(std::launch::async, [timeoutMs] {
      uint32_t length = 0;
      return ReadVehicleData(timeoutMs, length);
    });
  }
  static bool Ready(std::future<uint32_t>& f) {
    return f.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  }
  static bool StillWaiting(std::future<uint32_t>& f) {
    return f.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout;
  }

  test::ManualClock clock_;  // first: every wait of the link runs on it
  test::TestVci vci_;
};

TEST_F(LiveLink, StoppingEndsTheVehicleDataWaitAtOnceAndCloseStillGetsItsAnswer) {
  auto waiting = WaitForVehicleData(5000);
  ASSERT_TRUE(clock_.WaitForBlocked(2));  // the receive thread and the wait
  const uint32_t t0 = clock_.Ticks();
  AbortVehicleDataWaits();
  ASSERT_TRUE(Ready(waiting)) << "the wait did not end when the engine stopped";
  EXPECT_EQ(waiting.get(), 7u);
  EXPECT_EQ(clock_.Ticks() - t0, 0u) << "ended by the stop, not by its timeout";
  EXPECT_TRUE(VehicleDataWaitsAborted());

  // Frames that keep coming do not hold a later wait either.
  vci_.SendVehicleData(0, 0, 1, {0xC1, 0x00, 0x00, 0x00, 0x12});
  auto later = WaitForVehicleData(5000);
  ASSERT_TRUE(Ready(later));
  EXPECT_EQ(later.get(), 7u);

  // The CLOSE of PDUDestruct is answered as ever.
  EXPECT_EQ(VciClose(), 0u);
  EXPECT_EQ(vci_.FramesWithCommand(test::kCmdClose).size(), 1u);
}

TEST_F(LiveLink, ResumedWaitsReceiveAndTimeOutAsBefore) {
  AbortVehicleDataWaits();
  ResumeVehicleDataWaits();
  EXPECT_FALSE(VehicleDataWaitsAborted());
  auto waiting = WaitForVehicleData(200);
  ASSERT_TRUE(clock_.WaitForBlocked(2));
  clock_.Advance(229);
  EXPECT_TRUE(StillWaiting(waiting));
  clock_.Advance(1);
  ASSERT_TRUE(Ready(waiting));
  EXPECT_EQ(waiting.get(), 7u);
}

TEST_F(LiveLink, AVciThatGoesAwayIsLostAtOnceUntilTheLineIsOpenedAgain) {
  vci_.SetSilent(true);
  auto waiting = WaitForVehicleData(5000);
  ASSERT_TRUE(clock_.WaitForBlocked(2));
  const uint32_t t0 = clock_.Ticks();
  vci_.HangUp();  // the read fails with EIO
  ASSERT_TRUE(Ready(waiting)) << "a wait went on after the line failed";
  EXPECT_EQ(waiting.get(), 7u);
  EXPECT_TRUE(VciLost());

  // Every later command fails at once with 0x11 and writes nothing; the
  // readings do not fall back on their substitutes, busy engine or not.
  EXPECT_EQ(VciCop(1, 1, 0x8004, nullptr, 0, nullptr), 0x11u);
  EXPECT_EQ(VciClose(), 0x11u);
  EXPECT_EQ(Reading("PDU_IOCTL_READ_VBATT", 1), 0x11u);
  EXPECT_EQ(Reading("PDU_IOCTL_READ_VBATT", 0), 0x11u);
  EXPECT_EQ(Reading("PDU_IOCTL_READ_IGNITION_SENSE_STATE", 0), 0x11u);
  EXPECT_EQ(clock_.Ticks() - t0, 0u) << "nothing waited for its timeout";

  // The adapter is back (a new line): the link is no longer lost.
  test::TestVci again;
  link_->ClosePort();
  ASSERT_TRUE(link_->OpenPortPath(again.Path()));
  link_->StartReadThread();
  EXPECT_FALSE(VciLost());
  auto open = std::async(std::launch::async, [] { return VciOpen(); });
  ASSERT_EQ(open.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(open.get(), 0u);
}

TEST_F(LiveLink, AFailedWriteLosesTheVci) {
  vci_.HangUp();
  // Whichever sees it first, the write or the receive thread's read.
  EXPECT_EQ(VciModuleConnect(1), 0x11u);
  EXPECT_TRUE(VciLost());
}

}  // namespace
}  // namespace pdu::device
