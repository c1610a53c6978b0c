// Callbacks that do what applications do from inside a callback: start the
// next ComPrimitive, disconnect and destroy their link, even destruct and
// reconstruct the module. All of it runs on the engine thread, which then
// has to go on (or end) cleanly: no deadlock, no lost FINISHED, and the
// module usable afterwards. A watchdog turns a hang into a failure.
#include "support/SessionFixture.h"
#include "device/DeviceLink.h"
#include "engine/EngineThread.h"
#include "engine/Lifetime.h"

namespace pdu::reliability {
using namespace pdu::test;
namespace {

// What the callback does after draining its items; set by each test (on
// its thread, while the engine thread may be reading it: hence the lock).
std::mutex g_thenLock;
std::function<void(UNUM32 hCLL)> g_then;

void SetThen(std::function<void(UNUM32 hCLL)> then) {
  std::lock_guard<std::mutex> g(g_thenLock);
  g_then = std::move(then);
}

void PDU_CALL ActingCallback(T_PDU_EVT_DATA, UNUM32 hMod, UNUM32 hCLL, void* tag, void* info) {
  // The collector's callback drains, records and releases the items.
  ItemCollector::Callback(PDU_EVT_DATA_AVAILABLE, hMod, hCLL, tag, info);
  std::function<void(UNUM32)> then;
  {
    std::lock_guard<std::mutex> g(g_thenLock);
    then = g_then;
  }
  if (then) then(hCLL);
}

// Polls done every millisecond for up to ms; whether it came true.
bool Within(int ms, const std::function<bool()>& done) {
  for (int i = 0; i < ms && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

class CallbackReentry : public HealthySessionTest {
 protected:
  void TearDown() override {
    SetThen(nullptr);
    HealthySessionTest::TearDown();
  }
  uint32_t ActingLink() { return ConnectedLink(kCanResource, ActingCallback); }
};

TEST_F(CallbackReentry, ACallbackStartsTheNextComPrimitiveFromInside) {
  Watchdog watchdog(60000, "a chain of ComPrimitives started from callbacks");
  Construct();
  std::atomic<int> chained{0};
  std::mutex m;
  std::vector<uint32_t> handles;
  SetThen([&](UNUM32 hCLL) {
    if (chained.load() >= 20) return;
    ++chained;
    const uint32_t hCoP = Start(hCLL, PDU_COPT_SENDRECV, {0x3E, 0x00});
    std::lock_guard<std::mutex> g(m);
    handles.push_back(hCoP);
  });
  ActingLink();
  // The ONLINE item's callback started the first; each callback starts one
  // more until 20.
  EXPECT_TRUE(Within(4000, [&] { return chained.load() == 20; }));
  SetThen(nullptr);
  std::vector<uint32_t> all;
  {
    std::lock_guard<std::mutex> g(m);
    all = handles;
  }
  for (uint32_t h : all) EXPECT_TRUE(items_.WaitFinished(h, 5000) && items_.FinishedCount(h) == 1) << h;
  watchdog.Disarm();
}

TEST_F(CallbackReentry, ACallbackDisconnectsAndDestroysItsOwnLink) {
  Watchdog watchdog(60000, "a callback destroying its link");
  Construct();
  std::atomic<bool> done{false};
  const uint32_t hCLL = ActingLink();
  SetThen([&](UNUM32 h) {
    if (done.exchange(true)) return;
    EXPECT_EQ(PDUDisconnect(kMod, h), 0x00u);
    EXPECT_EQ(PDUDestroyComLogicalLink(kMod, h), 0x00u);
  });
  const uint32_t hCoP = Start(hCLL, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(items_.WaitFinished(hCoP, 5000));
  EXPECT_TRUE(done.load());
  // The module goes on: a new link works.
  SetThen(nullptr);
  const uint32_t next = ConnectedLink(), again = Start(next, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(items_.WaitFinished(again, 5000));
  EXPECT_EQ(KindsOf(again), (std::vector<uint32_t>{0x8011u, 0x1300u, 0x8012u}));
  watchdog.Disarm();
}

TEST_F(CallbackReentry, ACallbackThatDestructsTheModuleEndsTheEngineCleanly) {
  Watchdog watchdog(60000, "a callback calling PDUDestruct");
  Construct();
  std::atomic<int> destructed{-1};
  const uint32_t hCLL = ActingLink();
  SetThen([&](UNUM32) {
    int expected = -1;
    if (destructed.load() != -1) return;
    const T_PDU_ERROR s = PDUDestruct();
    destructed.compare_exchange_strong(expected, static_cast<int>(s));
  });
  Start(hCLL, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90});
  Within(5000, [&] { return destructed.load() != -1; });
  EXPECT_EQ(destructed.load(), 0x00);
  EXPECT_EQ(device::GetDeviceLink(), nullptr);
  SetThen(nullptr);
  // The application constructs again from its own thread: one engine
  // thread, the VCI found, links work. Handles count from 1 again, so only
  // the items from here on are looked at.
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), 0x00u);
  ASSERT_NE(device::GetDeviceLink(), nullptr);
  EXPECT_TRUE(engine::EngineThreadRunning());
  const size_t base = items_.Items().size();
  const uint32_t next = ConnectedLink();
  // Events of the earlier construction are still delivered and carry
  // hCoP 1, the first handle of this construction too: an UPDATEPARAM
  // takes that handle, so the SENDRECV's items are told apart.
  ASSERT_EQ(Start(next, PDU_COPT_UPDATEPARAM, {}), 1u);
  const uint32_t hCoP = Start(next, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90});
  std::vector<uint32_t> kinds;
  Within(5000, [&] {
    const std::vector<SeenItem> all = items_.Items();
    kinds.clear();
    for (size_t k = base; k < all.size(); ++k)
      if (all[k].hCop == hCoP) kinds.push_back(all[k].type == PDU_IT_STATUS ? all[k].status : all[k].type);
    return !kinds.empty() && kinds.back() == 0x8012u;  // FINISHED
  });
  // EXECUTING, a result item, FINISHED.
  EXPECT_EQ(kinds, (std::vector<uint32_t>{0x8011u, 0x1300u, 0x8012u}));
  watchdog.Disarm();
}

// While an application thread destructs, it joins the engine thread; a
// callback on that thread that destructs too must not wait for it (that
// would deadlock) and must not touch the device link the other thread is
// closing: it answers 0x11 at once, and exactly one CLOSE goes out.
// Before the lifetime state machine, the callback closed the link under the
// joining thread (a use-after-free ThreadSanitizer reported).
// A callback's PDUDestruct while an application thread constructs again
// (and is joining this engine thread first) is refused with 0x01.
TEST_F(CallbackReentry, ACallbacksDestructNeverWaitsForAnotherThreadsTurn) {
  struct Case {
    const char* what;
    int stage;          // what the application thread is doing
    uint32_t expected;  // the callback's PDUDestruct
  };
  const Case cases[] = {
      {"application destructs", 3, 0x11},
      {"application constructs again", 1, 0x01},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Watchdog watchdog(60000, c.what);
    Construct();
    const size_t closesBefore = vci_.FramesWithCommand(kCmdClose).size();
    std::atomic<bool> inCallback{false};
    std::atomic<int> fromCallback{-1};
    const uint32_t hCLL = ActingLink();
    // The link's ONLINE status reached the callback under the ApiLock; once
    // that lock is free the status callback is over, so the action below
    // runs in a SENDRECV's callback, which holds no lock (one that held it
    // would keep the application thread from ever calling in).
    { engine::ApiLockGuard lock(engine::g_ApiLock); }
    SetThen([&](UNUM32) {
      if (inCallback.exchange(true)) return;
      // The module's lifetime stage (1 constructing, 3 destructing) tells
      // that the application thread is inside PDUConstruct or PDUDestruct.
      if (!Within(5000, [&] { return static_cast<int>(engine::g_Lifetime.Current()) == c.stage; })) return;
      const auto started = std::chrono::steady_clock::now();
      fromCallback.store(static_cast<int>(PDUDestruct()));
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    });
    Start(hCLL, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90});
    ASSERT_TRUE(Within(5000, [&] { return inCallback.load(); }));
    if (c.stage == 3) {
      EXPECT_EQ(PDUDestruct(), 0x00u);
      EXPECT_EQ(vci_.FramesWithCommand(kCmdClose).size(), closesBefore + 1);
    } else {
      EXPECT_EQ(PDUConstruct(nullptr, nullptr), 0x00u);
      EXPECT_NE(device::GetDeviceLink(), nullptr);
      EXPECT_EQ(vci_.FramesWithCommand(kCmdClose).size(), closesBefore);
    }
    EXPECT_EQ(fromCallback.load(), static_cast<int>(c.expected));
    SetThen(nullptr);
    PDUDestruct();
    watchdog.Disarm();
  }
}

}  // namespace
}  // namespace pdu::reliability
