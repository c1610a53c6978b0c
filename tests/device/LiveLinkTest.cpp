// The device link on a live bus and on a line that goes away, on the manual
// clock: a stopping engine ends the wait for vehicle data at once while
// command answers still come in; a VCI whose line fails is lost at once
// (reads, writes, readings), until the line is opened again. (OPEN dropping
// an earlier client's vehicle data: LiveBus.ANewConstructionDoesNotSee...)

#include <chrono>
#include <future>

#include "device/DeviceCommands.h"
#include "LinkOnVci.h"
#include "support/TestClock.h"
#include "support/WireCodes.h"

namespace pdu::device {
namespace {

using test::TestVci;

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
  TestVci vci_;
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
  TestVci again;
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
