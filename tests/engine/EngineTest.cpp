// The ComPrimitive engine: what the golden transcripts (tests/golden) do
// not show — a SENDRECV without request bytes, handles and events across
// links, the queue gate for link-status jobs, the ownership of a result
// item, events and callbacks across a reconstruction, and an idle engine.
// The ordinary exchanges (positive, pending, busy, no answer, several
// responses, STARTCOMM/STOPCOMM, UPDATEPARAM) are recorded there.

#include <atomic>

#include "engine/ModuleState.h"
#include "platform/Platform.h"
#include "protocol/CreateProtocolHandler.h"
#include "support/SessionFixture.h"

namespace pdu::engine {
namespace {

using namespace pdu::test;

std::atomic<int> g_calls{0};
void PDU_CALL CountingCallback(T_PDU_EVT_DATA type, UNUM32, UNUM32, void*, void* apiTag) {
  EXPECT_EQ(type, 0x0801u);
  EXPECT_EQ(apiTag, nullptr);
  ++g_calls;
}

class EngineTest : public test::SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    g_calls = 0;
    Construct();
  }

  // A link made directly from a handler, as link creation would, with
  // this callback (callbacks outlive constructions).
  uint32_t MakeLink(CALLBACKFNC callback = nullptr) {
    uint32_t h = 0;
    {
      ApiLockGuard g(ApiLock());
      h = Module().NextLinkHandle();
      Module().SetLinkHandler(h, protocol::CreateProtocolHandler("KW82_on_KW_UART"));
    }
    EXPECT_EQ(PDURegisterEventCallback(1, h, callback), 0u);
    return h;
  }

  // Waits (in real time) until the engine has nothing left to do.
  void WaitIdle() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    for (;;) {
      {
        ApiLockGuard g(ApiLock());
        if (Module().QueuedJobs() == 0 && Module().CopIdle() == 1) return;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "engine did not finish";
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  static std::vector<SeenItem> Drain(uint32_t hCLL) { return ItemCollector::Fetch(1, hCLL); }
  // Status items by their state, other items by their type.
  static std::vector<uint32_t> Kinds(uint32_t hCLL) { return ItemCollector::Kinds(Drain(hCLL)); }
};

TEST_F(EngineTest, SendRecvWithoutRequestBytesCallsBackOnceAndSendsNothing) {
  const uint32_t h = MakeLink(CountingCallback);
  Start(h, kSendRecv, {});
  WaitIdle();
  EXPECT_EQ(g_calls.load(), 1);
  EXPECT_TRUE(Drain(h).empty());
  EXPECT_TRUE(vci_.FramesWithCommand(kCmdCop).empty());
}

TEST_F(EngineTest, WithoutCallbackOnlyFinishedIsKept) {
  const uint32_t h = MakeLink();
  EcuAnswers({{0x62, 0xF1, 0x90}});
  Start(h, kSendRecv, {0x22, 0xF1, 0x90});
  WaitIdle();
  EXPECT_EQ(Kinds(h), (std::vector<uint32_t>{kFinished}));
}

TEST_F(EngineTest, HandlesCountAcrossLinksAndDelayGetsNoEvents) {
  const uint32_t a = MakeLink(), b = MakeLink();
  EXPECT_EQ(Start(a, kUpdateParam, {}), 1u);
  EXPECT_EQ(Start(b, kUpdateParam, {}), 2u);
  EXPECT_EQ(Start(b, kDelay, {}), 3u);
  WaitIdle();
  EXPECT_EQ(Kinds(a), (std::vector<uint32_t>{kFinished}));
  EXPECT_EQ(Kinds(b), (std::vector<uint32_t>{kFinished}));
  EXPECT_TRUE(vci_.FramesWithCommand(kCmdCop).empty());
}

// (PDUCancelComPrimitive only logs: LiveBus.DestructEnds..., whose cancelled
// SENDRECV goes on.)

TEST_F(EngineTest, LinkStatusJobWaitsForTheQueueGate) {
  const uint32_t h = MakeLink(CountingCallback);
  {
    ApiLockGuard g(ApiLock());
    LinkHandler(h)->CllStatus.store(kOffline);
    CopJob job = Module().LastJob();
    job.hMod = 1;
    job.hCLL = h;
    job.JobKind = kJobKindLinkStatus;
    AppendCopJob(job);
  }
  // The engine has looked at its queue since the job came: it left it there.
  ASSERT_TRUE(Module().WaitWakeHandled(Module().WakeEngine(), 2000));
  EXPECT_EQ(g_calls.load(), 0);  // no ComPrimitive has opened the gate yet
  Start(h, kUpdateParam, {});
  WaitIdle();
  const auto items = Drain(h);
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items[0].status, kOffline);
  EXPECT_EQ(items[0].hCop, 0xFFFFFFFFu);
}

TEST_F(EngineTest, AResultItemKeepsItsBytesAfterLaterResults) {
  const uint32_t h = MakeLink(CountingCallback);
  EcuAnswers({{0x62, 0x01, 0xAA}});
  Start(h, kSendRecv, {0x22, 0x01});
  WaitIdle();
  PDU_EVENT_ITEM* exec = nullptr;
  PDU_EVENT_ITEM* result = nullptr;
  ASSERT_EQ(PDUGetEventItem(1, h, &exec), 0u);
  ASSERT_EQ(PDUGetEventItem(1, h, &result), 0u);
  ASSERT_EQ(result->ItemType, kItemResult);
  EcuAnswers({{0x62, 0x02, 0xBB}});
  Start(h, kSendRecv, {0x22, 0x02});
  WaitIdle();
  Drain(h);
  auto* r = static_cast<PDU_RESULT_DATA*>(result->pData);
  EXPECT_EQ(Bytes(r->pDataBytes, r->pDataBytes + r->NumDataBytes), (Bytes{0x62, 0x01, 0xAA}));
  PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(exec));
  PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(result));
}

TEST_F(EngineTest, RegisterWithAHandleBeyondTheTableUsesTheModuleSlot) {
  ASSERT_EQ(PDURegisterEventCallback(1, 5000, CountingCallback), 0u);
  EXPECT_EQ(test::CallbackOf(0), &CountingCallback);
  ASSERT_EQ(PDURegisterEventCallback(1, 0, nullptr), 0u);
  EXPECT_EQ(test::CallbackOf(0), nullptr);
}

TEST_F(EngineTest, EventsAndCallbacksSurviveDestructionAndReconstruction) {
  const uint32_t h = MakeLink(CountingCallback);
  Start(h, kUpdateParam, {});
  WaitIdle();
  ASSERT_EQ(PDUDestruct(), 0u);
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), 0u);
  EXPECT_EQ(Kinds(h), (std::vector<uint32_t>{kExecuting, kFinished}));
  EXPECT_EQ(test::CallbackOf(h), &CountingCallback);
}

// Real time on purpose: the point is that no thread spins.
TEST_F(EngineTest, IdleEngineUsesNoCpu) {
  const uint32_t h = MakeLink();
  Start(h, kUpdateParam, {});
  WaitIdle();
  const uint64_t before = platform::ProcessCpuMicros();
  // A thread that polled every millisecond would wake 300 times here.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const uint64_t used = platform::ProcessCpuMicros() - before;
  EXPECT_LT(used, 3000u) << "engine, receive and VCI threads together used " << used << " us in 300 ms";
}

}  // namespace
}  // namespace pdu::engine
