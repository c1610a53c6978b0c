// The serial session: finding the VCI among the candidate ports, the
// receive thread, closing, the adapter going away, and waits that do not
// burn CPU or go through the scheduler.
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <climits>
#include <string>

#include "device/DeviceLink.h"
#include "platform/Platform.h"
#include "support/PtyVci.h"
#include "support/TestClock.h"
#include "support/WireCodes.h"

namespace pdu::device {
namespace {

using test::Bytes;
using test::ScopedPorts;
using test::PtyVci;
using test::VciFrame;

// Number of entries in a /proc/self folder.
size_t CountEntries(const char* folder) {
  size_t n = 0;
  if (DIR* d = ::opendir(folder)) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

// Open file descriptors of this process that refer to path.
size_t OpenDescriptorsOf(const std::string& path) {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char target[PATH_MAX];
      std::string link = std::string("/proc/self/fd/") + e->d_name;
      ssize_t len = ::readlink(link.c_str(), target, sizeof target - 1);
      if (len > 0 && std::string(target, static_cast<size_t>(len)) == path) ++n;
    }
    ::closedir(d);
  }
  return n;
}

bool WaitUntil(const std::function<bool()>& cond, uint32_t timeoutMs) {
  const uint64_t end = platform::MonotonicMicros() + uint64_t{timeoutMs} * 1000;
  while (!cond()) {
    if (platform::MonotonicMicros() > end) return false;
    platform::SleepMs(5);
  }
  return true;
}

// Threads of this process, once the count has settled at `expected` (or
// after 500 ms). pthread_join returns when the kernel clears the thread's
// tid, which is before the task leaves /proc/self/task: right after a
// join the count can still hold the joined thread for a moment.
size_t ThreadsSettledAt(size_t expected) {
  size_t n = 0;
  WaitUntil([&] { return (n = CountEntries("/proc/self/task")) == expected; }, 500);
  return n;
}

// Threads of this process once a thread joined by the previous test has
// left /proc/self/task: the count has held for 20 ms.
size_t QuietThreadCount() {
  size_t last = CountEntries("/proc/self/task");
  for (int held = 0; held < 4;) {
    platform::SleepMs(5);
    const size_t n = CountEntries("/proc/self/task");
    held = n == last ? held + 1 : 0;
    last = n;
  }
  return last;
}

TEST(DeviceSession, OpenPortSkipsMissingAndSilentPortsAndFindsTheVci) {
  PtyVci silent;
  silent.SetSilent(true);
  PtyVci vci;
  // When the answering VCI sees its first probe, the silent port must be
  // closed again and its receive thread gone.
  const size_t threadsBefore = QuietThreadCount();
  std::atomic<bool> checked{false};
  std::atomic<size_t> silentFds{99}, threadsAtProbe{0}, silentProbes{0};
  vci.SetHandler(test::kCmdProbe, [&](const VciFrame& f) {
    if (!checked.exchange(true)) {
      silentFds = OpenDescriptorsOf(silent.Path());
      threadsAtProbe = ThreadsSettledAt(threadsBefore + 2);  // the opening thread too
      silentProbes = silent.FramesWithCommand(test::kCmdProbe).size();
    }
    return vci.DefaultReplies(f);
  });
  ScopedPorts ports({"/dev/pdu7318-no-such-port", "/dev/null", silent.Path(), vci.Path()});
  // The settle pauses take no time; the silent port's two 1100 ms probe
  // waits are stepped below, each from the tick its probe went out.
  test::ManualClock clock;
  clock.SetInstantPauses(true);

  DeviceLink link;
  auto found = std::async(std::launch::async, [&] { return link.OpenPort(); });
  for (size_t probe = 1; probe <= 2; ++probe) {
    ASSERT_TRUE(WaitUntil([&] { return silent.FramesWithCommand(test::kCmdProbe).size() >= probe; }, 5000));
    ASSERT_TRUE(clock.WaitForWaitUntil(clock.Ticks() + 1100)) << "probe " << probe;
    clock.Advance(1100);
  }
  ASSERT_EQ(found.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ASSERT_TRUE(found.get());
  EXPECT_EQ(link.PortPath(), vci.Path());
  EXPECT_TRUE(link.ReadThreadRunning());
  ASSERT_TRUE(checked.load());
  EXPECT_EQ(silentProbes.load(), 2u) << "two probe attempts on the silent port";
  EXPECT_EQ(silentFds.load(), 1u) << "only the test VCI's own descriptor is left";
  EXPECT_EQ(threadsAtProbe.load(), threadsBefore + 2) << "exactly one receive thread";

  auto probes = vci.FramesWithCommand(test::kCmdProbe);
  ASSERT_EQ(probes.size(), 1u);
  EXPECT_EQ(probes[0].channel, test::kManagementChannel);
  EXPECT_EQ(probes[0].data, Bytes(16, 0x00));

  link.ClosePort();
  EXPECT_FALSE(link.PortIsOpen());
  EXPECT_FALSE(link.ReadThreadRunning());
  EXPECT_EQ(ThreadsSettledAt(threadsBefore), threadsBefore);
  EXPECT_EQ(OpenDescriptorsOf(vci.Path()), 1u);
}

TEST(DeviceSession, OpeningAgainReplacesTheSessionWithOneThread) {
  PtyVci vci;
  ScopedPorts ports({vci.Path()});
  const size_t threadsBefore = QuietThreadCount();
  DeviceLink link;
  ASSERT_TRUE(link.OpenPort());
  ASSERT_TRUE(link.OpenPort());
  EXPECT_TRUE(link.ReadThreadRunning());
  EXPECT_EQ(ThreadsSettledAt(threadsBefore + 1), threadsBefore + 1);
  EXPECT_EQ(OpenDescriptorsOf(vci.Path()), 2u) << "the test VCI's and the link's";
  EXPECT_EQ(vci.FramesWithCommand(test::kCmdProbe).size(), 2u);
  // The fresh thread reads.
  vci.SendVehicleData(0, 0, 1, {0x01});
  uint8_t out[100];
  EXPECT_EQ(link.ReceiveVehicleData(out, sizeof out, 1000), 17u);
}

// (A request and its answer through the receive thread, and vehicle data
// in its own queue: CommandCodesTest.cpp, whose link runs that thread.)
TEST(DeviceSession, HangUpEndsTheReceiveThreadAndLosesTheVci) {
  PtyVci vci;
  ScopedPorts ports({vci.Path()});
  DeviceLink link;
  link.ClosePort();  // nothing open yet: no harm
  ASSERT_TRUE(link.OpenPort());
  vci.HangUp();
  EXPECT_TRUE(WaitUntil([&] { return !link.ReadThreadRunning(); }, 1000));
  EXPECT_TRUE(link.PortIsOpen()) << "the handle stays until ClosePort";
  EXPECT_TRUE(link.Lost());
  // Nothing waits for a VCI that is gone.
  uint8_t out[100];
  const uint64_t start = platform::MonotonicMicros();
  EXPECT_EQ(link.ReceiveAnswer(out, sizeof out, 200), 0u);
  EXPECT_LT(platform::MonotonicMicros() - start, 150000u) << "less than the 200 ms it would wait";
  link.ClosePort();
  link.ClosePort();
  EXPECT_FALSE(link.PortIsOpen());
}

// (A receive blocks once until its deadline and ends exactly then:
// CommandTimeout, on the manual clock; a frame ends it without the clock
// moving: DeviceLinkTest.DamagedFramesAreDroppedAndTheWaitGoesOn.)

}  // namespace
}  // namespace pdu::device
