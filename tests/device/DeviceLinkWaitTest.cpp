// How the receive operations wait: a waiting one is woken by the frame it
// waits for, and one whose time is up only looks at its queue, without a
// trip through the scheduler (the engine drains queues that way, and a
// sleep there cost ~15 us per look).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <future>
#include <thread>

#include "device/DeviceLink.h"
#include "support/TestVci.h"
#include "support/WireCodes.h"

namespace pdu::device {
namespace {

using test::Bytes;
using test::TestVci;

long VoluntarySwitchesOfThisThread() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

class DeviceLinkWait : public ::testing::Test {
 protected:
  void SetUp() override {
    vci.SetSilent(true);
    link = std::make_unique<DeviceLink>();
    ASSERT_TRUE(link->OpenPortPath(vci.Path()));
  }
  void Feed(const Bytes& bytes) { link->OnReceive(bytes.data(), static_cast<uint32_t>(bytes.size())); }
  Bytes CarData(uint32_t timeoutMs) {
    Bytes out(5000);
    out.resize(link->ReceiveVehicleData(out.data(), 5000, timeoutMs));
    return out;
  }
  static Bytes Car(uint32_t uniqueId) { return TestVci::VehicleData(0, 0, uniqueId, {0x62, 0xF1, 0x90}).data; }
  static Bytes Wire(const Bytes& data) {
    return TestVci::WireFrame(test::kVehicleChannel, 1, test::kCmdVehicleData, data);
  }

  TestVci vci;
  std::unique_ptr<DeviceLink> link;
};

TEST_F(DeviceLinkWait, ExpiredReceiveTakesWhatIsQueuedWithoutSleeping) {
  const Bytes third = Wire(Car(3));
  Bytes chunk = Wire(Car(1));
  const Bytes second = Wire(Car(2));
  chunk.insert(chunk.end(), second.begin(), second.end());
  chunk.insert(chunk.end(), third.begin(), third.begin() + 7);
  Feed(chunk);

  const long before = VoluntarySwitchesOfThisThread();
  EXPECT_EQ(CarData(0), Car(1));
  EXPECT_EQ(CarData(0), Car(2));
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(CarData(0).empty()) << "the third frame is not complete";
  EXPECT_EQ(VoluntarySwitchesOfThisThread() - before, 0);

  Feed(Bytes(third.begin() + 7, third.end()));
  EXPECT_EQ(CarData(0), Car(3));
}

TEST_F(DeviceLinkWait, WaitingReceiveWakesWhenItsFrameArrives) {
  auto waiting = std::async(std::launch::async, [&] {
    const auto start = std::chrono::steady_clock::now();
    Bytes got = CarData(5000);
    return std::make_pair(got, std::chrono::steady_clock::now() - start);
  });
  // An answer on the other queue does not end the wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Feed(TestVci::WireFrame(test::kVehicleChannel, 2, test::kCmdOpen, {0, 0, 0, 0}));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Feed(Wire(Car(7)));
  auto [got, waited] = waiting.get();
  EXPECT_EQ(got, Car(7));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
}

}  // namespace
}  // namespace pdu::device
