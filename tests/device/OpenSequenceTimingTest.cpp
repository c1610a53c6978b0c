// The open sequence's pauses on the manual clock: the first PROBE goes out
// 500 ms after the port is opened, each PROBE waits 1100 ms for its answer,
// and a port that answers neither of two PROBEs is given up at 2700 ms.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "device/DeviceLink.h"
#include "support/TestClock.h"
#include "support/TestVci.h"
#include "support/WireCodes.h"

namespace pdu::device {
namespace {

using test::kCmdProbe;

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
  EXPECT_EQ(vci_.Frames()[0].command, kCmdProbe);
  EXPECT_EQ(vci_.Frames()[1].command, kCmdProbe);
  ASSERT_TRUE(clock_.WaitForBlocked(2));
  clock_.Advance(2700 - (clock_.Ticks() - start_) - 1);
  EXPECT_EQ(found.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "gave up before 2700 ms";
  clock_.Advance(1);
  ASSERT_EQ(found.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(found.get());
  EXPECT_EQ(vci_.FrameCount(), 2u);
}

}  // namespace
}  // namespace pdu::device
