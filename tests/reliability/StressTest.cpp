// Eight application threads call the API on four links at once while the
// callbacks re-enter the API from the engine thread. Run under
// ThreadSanitizer in CI: no report, no deadlock (a watchdog fails the test
// when the run and its drain take more than twice the run time, at least
// 60 s), no lost or doubled event (every started ComPrimitive ends with
// exactly one FINISHED), and no result delivered to the wrong ComPrimitive.
#include <algorithm>
#include <random>

#include "support/SessionFixture.h"

namespace pdu::reliability {
using namespace pdu::test;
namespace {

constexpr int kThreads = 8;
constexpr uint32_t kLinks = 4;
// ComPrimitives one thread may have running before it waits for one to end.
constexpr size_t kOutstandingPerThread = 4;

// The run's length: 2 s in the ordinary suite (thousands of calls already);
// the reliability stage runs it for longer under ThreadSanitizer.
uint32_t StressSeconds() {
  const char* text = std::getenv("PDU7318_STRESS_SECONDS");
  const long v = text != nullptr ? std::strtol(text, nullptr, 10) : 2;
  return v > 0 ? static_cast<uint32_t>(v) : 2;
}

std::atomic<uint32_t> g_p2MaxId{0};
std::atomic<uint64_t> g_callbacks{0};

// A SENDRECV's request number travels as its pCoPTag; its request is
// 22 r2 r1 r0 and the test VCI answers 62 r2 r1 r0.
Bytes RequestFor(uint32_t r) {
  return {0x22, static_cast<uint8_t>(r >> 16), static_cast<uint8_t>(r >> 8), static_cast<uint8_t>(r)};
}
Bytes AnswerFor(uint32_t r) {
  Bytes b = RequestFor(r);
  b[0] = 0x62;
  return b;
}

// Runs on the engine thread: the collector drains the link's items; now
// and then the callback calls more of the API from inside, as applications
// do.
void PDU_CALL StressCallback(T_PDU_EVT_DATA evt, UNUM32 hMod, UNUM32 hCLL, void* tag, void* info) {
  const uint64_t n = ++g_callbacks;
  ItemCollector::Callback(evt, hMod, hCLL, tag, info);
  if (n % 7 == 0) {
    PDU_PARAM_ITEM* item = nullptr;
    if (PDUGetComParam(hMod, hCLL, g_p2MaxId.load(), &item) == 0x00u) PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(item));
  }
  if (n % 11 == 0) {
    T_PDU_STATUS s = 0;
    UNUM32 ts = 0, extra = 0;
    PDUGetStatus(hMod, hCLL, 0, &s, &ts, &extra);
  }
}

using Concurrency = HealthySessionTest;

TEST_F(Concurrency, EightThreadsOnFourLinksWithReenteringCallbacks) {
  const uint32_t seconds = StressSeconds();
  Watchdog watchdog(std::max<uint32_t>(60000, 2 * seconds * 1000), "the stress run");
  Construct();
  g_p2MaxId = IdOf("CP_P2Max");

  uint32_t links[kLinks] = {};
  for (uint32_t& h : links) h = ConnectedLink(kCanResource, StressCallback);

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> calls{0};
  std::atomic<uint32_t> nextRequest{0};
  std::mutex startedLock;
  std::vector<uint32_t> started;
  auto worker = [&](int index) {
    std::mt19937 rng(static_cast<uint32_t>(index) * 7919u + 1u);
    std::vector<uint32_t> mine;
    while (!stop.load()) {
      const uint32_t hCLL = links[rng() % kLinks];
      const uint32_t pick = rng() % 100;
      ++calls;
      if (pick < 55) {
        // SENDRECV with a request no other ComPrimitive sends, or one of
        // the ComPrimitives without data.
        const uint32_t r = ++nextRequest;
        Bytes request = RequestFor(r);
        const T_PDU_COPT type = pick < 45   ? PDU_COPT_SENDRECV
                                : pick < 50 ? PDU_COPT_UPDATEPARAM
                                : pick < 53 ? PDU_COPT_STARTCOMM
                                            : PDU_COPT_STOPCOMM;
        PDU_COP_CTRL_DATA ctrl{};
        ctrl.NumSendCycles = 1;
        ctrl.NumReceiveCycles = 1;
        uint32_t hCoP = 0;
        const bool data = type == PDU_COPT_SENDRECV;
        ASSERT_EQ(PDUStartComPrimitive(kMod, hCLL, type, data ? 4 : 0, data ? request.data() : nullptr,
                                       data ? &ctrl : nullptr, reinterpret_cast<void*>(static_cast<uintptr_t>(r)),
                                       &hCoP),
                  0x00u);
        {
          std::lock_guard<std::mutex> g(startedLock);
          started.push_back(hCoP);
        }
        mine.push_back(hCoP);
      } else if (pick < 65) {
        uint32_t value = 50000 + (rng() % 1000);
        PDU_PARAM_ITEM item{PDU_IT_PARAM, g_p2MaxId.load(), PDU_PT_UNUM32, PDU_PC_TIMING, &value};
        EXPECT_EQ(PDUSetComParam(kMod, hCLL, &item), 0x00u);
      } else if (pick < 75) {
        PDU_PARAM_ITEM* item = nullptr;
        ASSERT_EQ(PDUGetComParam(kMod, hCLL, g_p2MaxId.load(), &item), 0x00u);
        EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(item)), 0x00u);
      } else if (pick < 80) {
        PDU_DATA_ITEM* out = nullptr;
        const char* name = pick < 78 ? "PDU_IOCTL_READ_VBATT" : "PDU_IOCTL_READ_IGNITION_SENSE_STATE";
        const T_PDU_ERROR s = PDUIoCtl(kMod, hCLL, IdOf(name), nullptr, &out);
        EXPECT_TRUE(s == 0x00u || s == 0x01u) << s;
        if (out != nullptr) PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(out));
      } else if (pick < 85) {
        PDU_UNIQUE_RESP_ID_TABLE_ITEM* table = nullptr;
        ASSERT_EQ(PDUGetUniqueRespIdTable(kMod, hCLL, &table), 0x00u);
        EXPECT_EQ(PDUSetUniqueRespIdTable(kMod, hCLL, table), 0x00u);
        EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(table)), 0x00u);
      } else if (pick < 90) {
        T_PDU_STATUS s = 0;
        UNUM32 ts = 0, extra = 0;
        EXPECT_EQ(PDUGetStatus(kMod, hCLL, 0, &s, &ts, &extra), 0x00u);
      } else if (pick < 95) {
        EXPECT_EQ(PDURegisterEventCallback(kMod, hCLL, StressCallback), 0x00u);
      } else if (pick < 97 && index == 0) {
        // Links go offline and online again under the others' feet.
        EXPECT_EQ(PDUDisconnect(kMod, hCLL), 0x00u);
        EXPECT_EQ(PDUConnect(kMod, hCLL), 0x00u);
      } else {
        PDU_MODULE_ITEM* modules = nullptr;
        ASSERT_EQ(PDUGetModuleIds(&modules), 0x00u);
        EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(modules)), 0x00u);
      }
      // Keep the job queue bounded: the engine runs one job at a time.
      while (!stop.load()) {
        std::erase_if(mine, [&](uint32_t h) { return items_.FinishedCount(h) != 0; });
        if (mine.size() < kOutstandingPerThread) break;
        items_.WaitFinished(mine.front(), 100);
      }
    }
  };

  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(worker, i);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (std::thread& t : threads) t.join();

  // Every started ComPrimitive ends with exactly one FINISHED, and each
  // result carries the answer to its own request.
  for (uint32_t h : started) {
    EXPECT_TRUE(items_.WaitFinished(h, 30000)) << h << " never finished";
    EXPECT_EQ(items_.FinishedCount(h), 1u) << h;
  }
  size_t results = 0, errors = 0;
  for (const SeenItem& i : items_.Items()) {
    if (i.type == 0x1300u) {
      ++results;
      EXPECT_EQ(i.data, AnswerFor(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(i.copTag)))) << i.hCop;
    }
    errors += i.type == 0x1302u;
  }
  EXPECT_GT(results, 0u);
  for (uint32_t h : links) EXPECT_EQ(PDUDisconnect(kMod, h), 0x00u);
  EXPECT_EQ(PDUDestruct(), 0x00u);
  watchdog.Disarm();
  std::printf("stress: %u s, %llu API calls, %zu ComPrimitives, %zu results, %zu errors, %llu callbacks\n", seconds,
              static_cast<unsigned long long>(calls.load()), started.size(), results, errors,
              static_cast<unsigned long long>(g_callbacks.load()));
}

}  // namespace
}  // namespace pdu::reliability
