// DeviceLink sending and receive path. The link is attached to a test VCI's
// line without its receive thread, so that each test decides exactly which
// chunks OnReceive sees. (A waiting receive woken by its frame, on the
// manual clock, and an expired one: DeviceSessionTest.cpp.)
#include "device/DeviceLink.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "platform/Platform.h"
#include "support/TestClock.h"
#include "support/TestVci.h"
#include "support/WireCodes.h"

namespace pdu::device {
namespace {

using test::Bytes;
using test::Cat;
using test::TestVci;

Bytes Wire(uint8_t command, const Bytes& data, uint8_t channel = test::kVehicleChannel,
           uint8_t sequence = 1) {
  return TestVci::WireFrame(channel, sequence, command, data);
}

class DeviceLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vci.SetSilent(true);
    link = std::make_unique<DeviceLink>();
    ASSERT_TRUE(link->OpenPortPath(vci.Path()));
  }

  void Feed(const Bytes& chunk) { link->OnReceive(chunk.data(), static_cast<uint32_t>(chunk.size())); }

  // The answer's data, or empty when ReceiveAnswer returned 0.
  Bytes Answer(uint32_t timeoutMs = 50, uint32_t capacity = 1000) {
    Bytes out(capacity);
    out.resize(link->ReceiveAnswer(out.data(), capacity, timeoutMs));
    return out;
  }
  Bytes CarData(uint32_t timeoutMs = 50) {
    Bytes out(5000);
    out.resize(link->ReceiveVehicleData(out.data(), 5000, timeoutMs));
    return out;
  }

  TestVci vci;
  std::unique_ptr<DeviceLink> link;
};

// ---- sending --------------------------------------------------------------

TEST_F(DeviceLinkTest, SequenceNumbersWrapAfterFF) {
  ResetFrameCounters();
  for (int i = 0; i < 257; ++i) ASSERT_EQ(link->SendFrame(test::kCmdCop, nullptr, 0), 1u);
  ASSERT_EQ(link->SendManagementFrame(test::kCmdProbe, nullptr, 0), 1u);
  ASSERT_TRUE(vci.WaitForFrames(258, 5000));
  auto frames = vci.Frames();
  EXPECT_EQ(frames[0].sequence, 0x01);
  EXPECT_EQ(frames[254].sequence, 0xFF);
  EXPECT_EQ(frames[255].sequence, 0x00);
  EXPECT_EQ(frames[256].sequence, 0x01);
  EXPECT_EQ(frames[257].sequence, 0x01) << "the management channel counts on its own";
  EXPECT_EQ(VehicleFrameCounter(), 257);
}

TEST_F(DeviceLinkTest, FrameThatStuffsBeyond5120BytesIsNotSent) {
  Bytes fits(5108, 0x00);  // 5120 bytes on the wire
  EXPECT_EQ(link->SendFrame(test::kCmdCop, fits.data(), static_cast<uint32_t>(fits.size())), 1u);
  Bytes tooLong = fits;
  tooLong[0] = 0x7D;  // one escape more
  EXPECT_EQ(link->SendFrame(test::kCmdCop, tooLong.data(), static_cast<uint32_t>(tooLong.size())), 0u);
  Bytes huge(kMaxBuiltFrame, 0x00);
  EXPECT_EQ(link->SendFrame(test::kCmdCop, huge.data(), static_cast<uint32_t>(huge.size())), 0u);
  // A small frame after them: the wire keeps the order, so anything of the
  // refused frames would have come before it.
  const Bytes marker{0x4D};
  EXPECT_EQ(link->SendFrame(test::kCmdCop, marker.data(), 1), 1u);
  ASSERT_TRUE(vci.WaitForFrames(2, 2000));
  ASSERT_EQ(vci.FrameCount(), 2u);
  EXPECT_EQ(vci.Frames()[0].data.size(), 5108u);
  EXPECT_EQ(vci.Frames()[1].data, marker);
  EXPECT_EQ(vci.BadFrames(), 0u);
}

TEST_F(DeviceLinkTest, NothingIsSentOrReceivedWithoutAPort) {
  link->ClosePort();
  EXPECT_EQ(link->SendFrame(test::kCmdOpen, nullptr, 0), 0u);
  EXPECT_EQ(link->SendManagementFrame(test::kCmdProbe, nullptr, 0), 0u);
  Feed(Wire(test::kCmdOpen, {0, 0, 0, 0}));
  const uint64_t start = platform::MonotonicMicros();
  EXPECT_TRUE(Answer(1000).empty());
  EXPECT_LT(platform::MonotonicMicros() - start, 100000u) << "returns at once";
}

// ---- receive path -----------------------------------------------------------

TEST_F(DeviceLinkTest, ChunkEndingWithClosingAndOpeningFlagKeepsTheNewFrame) {
  Bytes first = Wire(test::kCmdOpen, {1, 0, 0, 0});
  Bytes second = Wire(test::kCmdClose, {0x7E, 0x7D, 0, 0});
  Feed(Cat({first, Bytes{second[0]}}));
  EXPECT_EQ(link->CurSaveOff(), 1u) << "the opening flag waits";
  Feed(Bytes(second.begin() + 1, second.end()));
  EXPECT_EQ(link->CurSaveOff(), 0u);
  EXPECT_EQ(Answer(), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(Answer(), (Bytes{0x7E, 0x7D, 0, 0}));
}

TEST_F(DeviceLinkTest, VehicleDataNeverAnswersACommand) {
  Bytes car1 = TestVci::VehicleData(0, 0, 1, {0x50, 0x01}).data;
  Bytes car2 = TestVci::VehicleData(0, 0, 2, {0x62}).data;
  Feed(Cat({Wire(test::kCmdVehicleData, car1), Wire(test::kCmdVehicleData, car2)}));
  EXPECT_TRUE(Answer(30).empty());
  EXPECT_EQ(CarData(), car1);
  // car2 waits in the vehicle-data carry-over, where no command answer
  // can pick it up.
  Feed(Wire(test::kCmdIoCtl, {9, 0, 0, 0}));
  EXPECT_EQ(Answer(), (Bytes{9, 0, 0, 0}));
  EXPECT_EQ(CarData(), car2);
  EXPECT_TRUE(CarData(20).empty());
}

TEST_F(DeviceLinkTest, DamagedFramesAreDroppedAndTheWaitGoesOn) {
  const Bytes good = Wire(test::kCmdOpen, {5, 0, 0, 0});
  ASSERT_GE(good.size(), 12u);
  Bytes badChecksum = good;
  badChecksum.at(good.size() - 2) ^= 0x01;
  Bytes badEscape = good;
  badEscape[10] = 0x7D;  // 7D 00
  Bytes badLength = good;
  badLength[1] = 0x0F;
  const Bytes shortFrame = {0x7E, 0x09, 0x00, 0x31, 0x01, 0x01, 0x12, 0x01, 0x00, 0x7E};
  struct Case { const char* what; Bytes bad; };
  const Case cases[] = {{"checksum", badChecksum},
                        {"escape", badEscape},
                        {"length", badLength},
                        {"short", shortFrame}};
  test::ManualClock clock;  // time stands still: only a frame ends a wait
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Feed(c.bad);
    auto pending = std::async(std::launch::async, [&] { return Answer(2000); });
    ASSERT_TRUE(clock.WaitForBlocked(1)) << "the damaged frame ended the wait";
    Feed(good);
    if (pending.wait_for(std::chrono::seconds(5)) != std::future_status::ready) clock.Advance(2000);
    EXPECT_EQ(pending.get(), (Bytes{5, 0, 0, 0}));
  }
}

// A receive whose time is up only looks at its queue, without a trip
// through the scheduler (the engine drains queues that way, and a sleep
// there cost ~15 us per look); an answer between the frames is not theirs.
TEST_F(DeviceLinkTest, ExpiredReceiveTakesWhatIsQueuedWithoutSleeping) {
  auto car = [](uint32_t id) { return TestVci::VehicleData(0, 0, id, {0x62, 0xF1, 0x90}).data; };
  auto switches = [] {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
  };
  const Bytes third = Wire(test::kCmdVehicleData, car(3));
  Feed(Cat({Wire(test::kCmdVehicleData, car(1)), Wire(test::kCmdOpen, {0, 0, 0, 0}),
            Wire(test::kCmdVehicleData, car(2)), Bytes(third.begin(), third.begin() + 7)}));
  const long before = switches();
  EXPECT_EQ(CarData(0), car(1));
  EXPECT_EQ(CarData(0), car(2));
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(CarData(0).empty()) << "the third frame is not complete";
  EXPECT_EQ(switches() - before, 0);
  Feed(Bytes(third.begin() + 7, third.end()));
  EXPECT_EQ(CarData(0), car(3));
}

TEST_F(DeviceLinkTest, FrameOnTheOtherChannelEndsTheReceive) {
  Feed(Wire(test::kCmdProbe, {1, 2, 3, 4}, test::kManagementChannel));
  const uint64_t start = platform::MonotonicMicros();
  EXPECT_TRUE(Answer(1000).empty());
  EXPECT_LT(platform::MonotonicMicros() - start, 100000u);
  // And the other way round: the probe wants the management channel.
  Feed(Wire(test::kCmdOpen, {1, 0, 0, 0}));
  uint8_t out[1280];
  EXPECT_EQ(link->ReceiveProbeAnswer(out, sizeof out), 0u);
  Feed(Wire(test::kCmdProbe, {1, 2, 3, 4}, test::kManagementChannel));
  EXPECT_EQ(link->ReceiveProbeAnswer(out, sizeof out), 4u);
}

TEST_F(DeviceLinkTest, FrameWithoutDataCountsAsNoAnswer) {
  Feed(Wire(test::kCmdOpen, {}));
  EXPECT_TRUE(Answer(30).empty());
}

TEST_F(DeviceLinkTest, StreamFedByteByByteGivesTheSameFrames) {
  const Bytes a = {0x7E, 0x7D, 0x00, 0x00, 0x12};
  const Bytes car = TestVci::VehicleData(0, 7, 3, {0x7E, 0x7E}).data;
  const Bytes b = {0x01, 0x00, 0x00, 0x00};
  const Bytes stream = Cat({Bytes{0x33, 0x44},  // noise before the first flag
                               Wire(test::kCmdOpen, a, test::kVehicleChannel, 0x7E),
                               Wire(test::kCmdVehicleData, car, test::kVehicleChannel, 0x7D),
                               Wire(test::kCmdClose, b)});
  for (uint8_t byte : stream) Feed(Bytes{byte});
  EXPECT_EQ(link->CurSaveOff(), 0u);
  EXPECT_EQ(Answer(), a);
  EXPECT_EQ(Answer(), b);
  EXPECT_EQ(CarData(), car);
}

TEST_F(DeviceLinkTest, NoiseIsSkippedUpToTheNextFlag) {
  Bytes answer = Wire(test::kCmdOpen, {3, 0, 0, 0});
  // The tail of a frame whose beginning was lost, its closing flag, then a
  // whole frame: "7E 7E" reads as lost closing + opening flag.
  Feed(Cat({Bytes{0x12, 0x01, 0x00, 0x7E}, answer}));
  EXPECT_EQ(Answer(), (Bytes{3, 0, 0, 0}));
  Bytes noise(70000, 0x55);
  Feed(noise);
  EXPECT_EQ(link->CurSaveOff(), 0u);
}

TEST_F(DeviceLinkTest, AnswerLongerThanTheBufferIsCut) {
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  Feed(Wire(test::kCmdCop, data));
  Bytes got = Answer(50, 100);
  EXPECT_EQ(got, Bytes(data.begin(), data.begin() + 100));
}

TEST_F(DeviceLinkTest, FullQueuesDropFramesWithoutOverrun) {
  const Bytes frame = Wire(test::kCmdCop, Bytes(1000, 0x11));
  for (int i = 0; i < 70; ++i) Feed(frame);  // 70 * 1012 bytes > 65536
  for (int i = 0; i < 64; ++i) ASSERT_EQ(Answer().size(), 1000u) << i;
  EXPECT_TRUE(Answer(0).empty());  // Feed splits at once: nothing more is queued
  // An unfinished frame larger than any receivable frame is given up.
  Bytes open = {0x7E};
  open.resize(6000, 0x22);
  Feed(open);
  EXPECT_EQ(link->CurSaveOff(), 0u);
  Feed(Wire(test::kCmdOpen, {4, 0, 0, 0}));
  EXPECT_EQ(Answer(), (Bytes{4, 0, 0, 0}));
}

TEST_F(DeviceLinkTest, DiscardAnswersDropsRawBytesAndQueueButKeepsCarryOverAndVehicleData) {
  const Bytes car = TestVci::VehicleData(0, 0, 1, {0x7F, 0x22, 0x78}).data;
  // One chunk: two answers and vehicle data. The first receive takes the
  // queue whole, returns the first answer and keeps the second in the
  // carry-over.
  Feed(Cat({Wire(test::kCmdOpen, {1, 0, 0, 0}), Wire(test::kCmdOpen, {2, 0, 0, 0}), Wire(test::kCmdVehicleData, car)}));
  EXPECT_EQ(Answer(), (Bytes{1, 0, 0, 0}));
  Feed(Wire(test::kCmdOpen, {3, 0, 0, 0}));  // queued, not yet taken
  Feed(Bytes{0x7E, 0x0A});                   // a frame begun
  link->DiscardAnswers();
  EXPECT_EQ(link->CurSaveOff(), 0u);
  // The frame that came in the same chunk as the first survives; the one
  // still queued and the begun one are gone.
  EXPECT_EQ(Answer(), (Bytes{2, 0, 0, 0}));
  EXPECT_TRUE(Answer(0).empty());  // Feed splits at once: nothing more is queued
  EXPECT_EQ(CarData(), car);
}

}  // namespace
}  // namespace pdu::device
