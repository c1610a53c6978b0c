// A ComPrimitive on a live bus and on a VCI that goes away, through the
// API: PDUDestruct ends a listening SENDRECV that frames keep feeding (and
// still sends CLOSE), PDUCancelComPrimitive does not; a lost VCI ends the
// running and every later ComPrimitive at once with the lost-VCI error and
// takes the link offline; a new construction does not see answers left
// over from before it.
//
// Codes are literals: 0x1302 error item, 0x106 lost communication to the
// VCI, 0x8050 offline, 0x11 communication PC to VCI failed.
#include <atomic>

#include "support/SessionFixture.h"

namespace pdu::test {
namespace {

class LiveBus : public SessionTest {
 protected:
  ~LiveBus() override { StopBus(); }

  // A bus that never falls quiet: a frame about every millisecond.
  void StartBus() {
    bus_ = std::thread([this] {
      for (uint8_t n = 0; !stop_.load(); ++n) {
        vci_.SendVehicleData(0, 0, 1, {0xE8, 0x07, 0x00, 0x00, 0x62, 0x0C, n});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  void StopBus() {
    stop_ = true;
    if (bus_.joinable()) bus_.join();
  }
  // The loop hands its results to the event queue and calls back only at
  // its end: an application polls meanwhile, as this does.
  void Poll(uint32_t hCLL) {
    for (const SeenItem& i : ItemCollector::Fetch(kMod, hCLL)) {
      results_ += i.type == kItemResult;
      errors_ += i.type == kItemError;
      finished_ += i.type == kItemStatus && i.status == kFinished;
    }
  }
  bool WaitResults(uint32_t hCLL, size_t count) {
    for (int i = 0; i < 500 && results_ < count; ++i) {
      Poll(hCLL);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return results_ >= count;
  }

  size_t results_ = 0, errors_ = 0, finished_ = 0;
  std::thread bus_;
  std::atomic<bool> stop_{false};
};

TEST_F(LiveBus, DestructEndsAListeningSendRecvThatFramesKeepFeedingAndSendsClose) {
  Watchdog watchdog(20000, "PDUDestruct on a streaming bus");
  Construct(Mdf::kShipped, true, true);
  const uint32_t hCLL = ConnectedLink();
  StartBus();
  const uint32_t hCop = Start(hCLL, kSendRecv, {0x3E, 0x00}, -1);
  ASSERT_TRUE(WaitResults(hCLL, 20));

  // Cancelling only logs: the frames keep coming in.
  EXPECT_EQ(PDUCancelComPrimitive(kMod, hCLL, hCop), 0u);
  ASSERT_TRUE(WaitResults(hCLL, results_ + 20));
  EXPECT_EQ(finished_ + items_.FinishedCount(hCop), 0u);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(PDUDestruct(), 0u);
  EXPECT_LT(MsSince(start), 1100u) << "the CLOSE wait (1000 ms) and 100 ms at most";
  EXPECT_EQ(vci_.FramesWithCommand(kCmdClose).size(), 1u);
  Poll(hCLL);
  EXPECT_EQ(finished_ + items_.FinishedCount(hCop), 1u);
  EXPECT_EQ(errors_, 0u) << "a stop is no error";
  for (const SeenItem& i : items_.ItemsOf(hCop)) EXPECT_NE(i.type, kItemError) << "a stop is no error";
  const std::string log = ReadFile(log::CurrentLogFileNames().main);
  EXPECT_NE(log.find("cop = 1 ends: the module is stopping\n"), std::string::npos);
}

TEST_F(LiveBus, ALostVciEndsTheRunningAndEveryLaterComPrimitiveAtOnce) {
  Watchdog watchdog(20000, "a lost VCI");
  Construct();
  const uint32_t hCLL = ConnectedLink();
  // The COP is taken, the answer never comes: the SENDRECV waits 3000 ms.
  vci_.SetHandler(kCmdCop, [](const VciFrame&) { return std::vector<VciReply>{TestVci::Answer(kCmdCop, 0)}; });
  const uint32_t running = Start(hCLL, kSendRecv, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(items_.WaitStatus(kExecuting));
  const auto pulled = std::chrono::steady_clock::now();
  vci_.HangUp();
  ASSERT_TRUE(items_.WaitFinished(running, 2000));
  EXPECT_LT(MsSince(pulled), 1000u) << "it waited for its timeout";
  std::vector<SeenItem> mine = items_.ItemsOf(running);
  ASSERT_EQ(ItemCollector::Kinds(mine), (std::vector<uint32_t>{kExecuting, kItemError, kFinished}));
  EXPECT_EQ(mine[1].error, 0x106u);
  bool offline = false;
  for (const SeenItem& i : items_.Items()) offline = offline || (i.type == kItemStatus && i.status == kOffline);
  EXPECT_TRUE(offline) << "the link went offline";

  const uint32_t later = Start(hCLL, kSendRecv, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(items_.WaitFinished(later, 2000));
  mine = items_.ItemsOf(later);
  ASSERT_EQ(ItemCollector::Kinds(mine), (std::vector<uint32_t>{kExecuting, kItemError, kFinished}));
  EXPECT_EQ(mine[1].error, 0x106u);

  PDU_DATA_ITEM* out = nullptr;
  EXPECT_EQ(PDUIoCtl(kMod, 0xFFFFFFFF, Id("PDU_IOCTL_READ_VBATT"), nullptr, &out), 0x11u);
  if (out != nullptr) PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(out));
  EXPECT_EQ(PDUDestruct(), 0u);

  // The adapter is back (handles count from 1 again: only the new items).
  TestVci back;
  back.SetHandler(kCmdCop, HealthyCopReplies);
  UseVci(back);
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), 0u);
  const uint32_t again = ConnectedLink();
  const size_t from = items_.Items().size();
  Start(again, kSendRecv, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(items_.WaitStatus(kFinished, from, 5000));
  const std::vector<SeenItem> all = items_.Items();
  EXPECT_EQ(ItemCollector::Kinds(std::vector<SeenItem>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end())),
            (std::vector<uint32_t>{kExecuting, kItemResult, kFinished}));
  EXPECT_EQ(PDUDestruct(), 0u);
}

TEST_F(LiveBus, ANewConstructionDoesNotSeeAnswersLeftFromBefore) {
  // A client died while its routine answered "response pending": the
  // answer and its result wait on the line for whoever opens it next.
  vci_.SendVehicleData(0, 0, 0, {0xE8, 0x07, 0x00, 0x00, 0x7F, 0x31, 0x78});
  vci_.SendVehicleData(0, 0, 0, {0xE8, 0x07, 0x00, 0x00, 0x71, 0x01, 0x02, 0x03, 0x00});
  vci_.SetHandler(kCmdCop, HealthyCopReplies);
  Construct();
  const uint32_t hCLL = ConnectedLink(), hCop = Start(hCLL, kSendRecv, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(items_.WaitFinished(hCop, 5000));
  const std::vector<SeenItem> mine = items_.ItemsOf(hCop);
  ASSERT_EQ(ItemCollector::Kinds(mine), (std::vector<uint32_t>{kExecuting, kItemResult, kFinished}));
  EXPECT_EQ(mine[1].data, (Bytes{0x62, 0xF1, 0x90}));
}

}  // namespace
}  // namespace pdu::test
