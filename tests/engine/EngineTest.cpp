// The ComPrimitive engine against the pseudo-terminal test VCI: the order
// and content of events, callbacks, response pending / busy handling, the
// queue gate and the engine thread's idleness.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/ModuleState.h"
#include "support/ModuleProbe.h"
#include "device/DeviceLink.h"
#include "engine/ApiLock.h"
#include "engine/CopQueues.h"
#include "engine/EngineThread.h"
#include "engine/LinkTables.h"
#include "pdu_api.h"
#include "platform/Platform.h"
#include "protocol/CreateProtocolHandler.h"
#include "support/TempHome.h"
#include "support/TestVci.h"

namespace pdu::engine {
namespace {

using test::Bytes;
using test::TestVci;
using test::VciFrame;
using test::VciReply;

constexpr uint8_t kCmdCop = 0x10;

// Events the callback was told about, and items fetched from inside it.
struct CallbackLog {
  std::mutex m;
  std::vector<uint32_t> calls;  // hCLL of each call
  std::atomic<int> count{0};
};
CallbackLog* g_log = nullptr;

void PDU_CALL RecordingCallback(T_PDU_EVT_DATA type, UNUM32, UNUM32 hCLL, void*, void* apiTag) {
  EXPECT_EQ(type, PDU_EVT_DATA_AVAILABLE);
  EXPECT_EQ(apiTag, nullptr);
  std::lock_guard<std::mutex> g(g_log->m);
  g_log->calls.push_back(hCLL);
  ++g_log->count;
}

struct Item {
  uint32_t type;
  uint32_t hCop;
  uint32_t status;       // status items
  Bytes data;            // result items
  uint32_t errorCode;    // error items
  uint32_t errorInfo;
  uint32_t timestamp;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.CopyData("MDF.xml");
    ports_ = std::make_unique<test::ScopedPorts>(std::vector<std::string>{vci_.Path()});
    g_log = &log_;
    ASSERT_EQ(PDUConstruct(nullptr, nullptr), PDU_STATUS_NOERROR);
    ASSERT_NE(device::GetDeviceLink(), nullptr);
  }
  void TearDown() override {
    PDUDestruct();
    g_log = nullptr;
  }

  // A link made directly from a handler, as link creation would.
  uint32_t MakeLink(const char* protocol) {
    ApiLockGuard g(ApiLock());
    const uint32_t h = ++engine::Module().g_hCLLCounter;
    Module().LinkTable[h] = protocol::CreateProtocolHandler(protocol);
    return h;
  }

  uint32_t Start(uint32_t hCLL, uint32_t type, const Bytes& req, int32_t receiveCycles = 1) {
    PDU_COP_CTRL_DATA ctrl{};
    ctrl.NumSendCycles = 1;
    ctrl.NumReceiveCycles = receiveCycles;
    uint32_t hCoP = 0;
    EXPECT_EQ(PDUStartComPrimitive(1, hCLL, type, static_cast<uint32_t>(req.size()),
                                   req.empty() ? nullptr : const_cast<uint8_t*>(req.data()), &ctrl, nullptr, &hCoP),
              PDU_STATUS_NOERROR);
    return hCoP;
  }

  // Answers every COP with status 0, then the given vehicle messages.
  void AnswerCop(std::vector<Bytes> messages, uint32_t gapMs = 0) {
    vci_.SetHandler(kCmdCop, [messages, gapMs](const VciFrame&) {
      std::vector<VciReply> r{TestVci::Answer(kCmdCop, 0)};
      for (const Bytes& m : messages) {
        VciReply v = TestVci::VehicleData(0, 0, 7, m);
        v.delayMs = gapMs;
        r.push_back(v);
      }
      return r;
    });
  }

  // Waits until the engine has nothing left to do.
  void WaitIdle(uint32_t timeoutMs = 8000) {
    const uint32_t start = platform::GetTickCount();
    for (;;) {
      {
        ApiLockGuard g(ApiLock());
        if (Module().CopJobQueue.empty() && Module().g_CopIdle.load() == 1) return;
      }
      ASSERT_LT(platform::GetTickCount() - start, timeoutMs) << "engine did not finish";
      platform::SleepMs(5);
    }
  }

  std::vector<Item> Drain(uint32_t hCLL) {
    std::vector<Item> items;
    PDU_EVENT_ITEM* ev = nullptr;
    while (PDUGetEventItem(1, hCLL, &ev) == PDU_STATUS_NOERROR) {
      Item it{ev->ItemType, ev->hCop, 0, {}, 0, 0, ev->Timestamp};
      if (ev->ItemType == PDU_IT_STATUS) it.status = *static_cast<uint32_t*>(ev->pData);
      if (ev->ItemType == PDU_IT_RESULT) {
        auto* r = static_cast<PDU_RESULT_DATA*>(ev->pData);
        it.data.assign(r->pDataBytes, r->pDataBytes + r->NumDataBytes);
      }
      if (ev->ItemType == PDU_IT_ERROR) {
        auto* e = static_cast<PDU_ERROR_DATA*>(ev->pData);
        it.errorCode = e->ErrorCodeId;
        it.errorInfo = e->ExtraErrorInfoId;
      }
      items.push_back(it);
      EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(ev)), PDU_STATUS_NOERROR);
    }
    return items;
  }

  static std::vector<uint32_t> Kinds(const std::vector<Item>& items) {
    std::vector<uint32_t> k;
    for (const Item& i : items) k.push_back(i.type == PDU_IT_STATUS ? i.status : i.type);
    return k;
  }

  test::TempHome home_;
  TestVci vci_;
  std::unique_ptr<test::ScopedPorts> ports_;
  CallbackLog log_;
};

TEST_F(EngineTest, SendRecvWithCallbackYieldsExecutingResultFinished) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  AnswerCop({{0x62, 0xF1, 0x90, 0x57}});
  const uint32_t cop = Start(h, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90});
  EXPECT_EQ(cop, 1u);
  WaitIdle();
  EXPECT_EQ(log_.count.load(), 2);
  const auto items = Drain(h);
  ASSERT_EQ(Kinds(items), (std::vector<uint32_t>{PDU_COPST_EXECUTING, PDU_IT_RESULT, PDU_COPST_FINISHED}));
  EXPECT_EQ(items[1].data, (Bytes{0x62, 0xF1, 0x90, 0x57}));
  for (const Item& i : items) EXPECT_EQ(i.hCop, cop);
  PDU_EVENT_ITEM* ev = nullptr;
  EXPECT_EQ(PDUGetEventItem(1, h, &ev), PDU_ERR_EVENT_QUEUE_EMPTY);

  // The request went out once, as hMod, hCLL, type, length 3 + 4, bytes.
  const auto cops = vci_.FramesWithCommand(kCmdCop);
  ASSERT_EQ(cops.size(), 1u);
  const Bytes& d = cops[0].data;
  ASSERT_GE(d.size(), 16u + 7u);
  EXPECT_EQ(d[12], 7);  // request length word
  EXPECT_EQ(Bytes(d.begin() + 16, d.begin() + 19), (Bytes{0x22, 0xF1, 0x90}));
}

TEST_F(EngineTest, WithoutCallbackOnlyFinishedIsLeft) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  AnswerCop({{0x62, 0xF1, 0x90}});
  Start(h, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90});
  WaitIdle();
  EXPECT_EQ(Kinds(Drain(h)), (std::vector<uint32_t>{PDU_COPST_FINISHED}));
}

TEST_F(EngineTest, NoAnswerGivesTimeoutErrorItem) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  AnswerCop({});
  Start(h, PDU_COPT_SENDRECV, {0x3E, 0x00});
  WaitIdle();
  const auto items = Drain(h);
  ASSERT_EQ(Kinds(items), (std::vector<uint32_t>{PDU_COPST_EXECUTING, PDU_IT_ERROR, PDU_COPST_FINISHED}));
  EXPECT_EQ(items[1].errorCode, PDU_ERR_EVT_RX_TIMEOUT);
  EXPECT_EQ(items[1].errorInfo, 24u);
  EXPECT_EQ(items[1].timestamp, 0u);
}

TEST_F(EngineTest, ResponsePendingThenFinalGivesOnlyTheFinalResult) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  AnswerCop({{0x7F, 0x31, 0x78}, {0x71, 0x01, 0x02}}, 300);
  Start(h, PDU_COPT_SENDRECV, {0x31, 0x01, 0x02});
  WaitIdle();
  const auto items = Drain(h);
  ASSERT_EQ(Kinds(items), (std::vector<uint32_t>{PDU_COPST_EXECUTING, PDU_IT_RESULT, PDU_COPST_FINISHED}));
  EXPECT_EQ(items[1].data, (Bytes{0x71, 0x01, 0x02}));
  EXPECT_EQ(vci_.FramesWithCommand(kCmdCop).size(), 1u);
}

TEST_F(EngineTest, BusyRepeatSendsTheSameRequestAgain) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  vci_.Script(kCmdCop, {TestVci::Answer(kCmdCop, 0), TestVci::VehicleData(0, 0, 7, {0x7F, 0x22, 0x21})});
  AnswerCop({{0x62, 0x01}});
  Start(h, PDU_COPT_SENDRECV, {0x22, 0x01});
  WaitIdle();
  const auto cops = vci_.FramesWithCommand(kCmdCop);
  ASSERT_EQ(cops.size(), 2u);
  EXPECT_EQ(cops[0].data, cops[1].data);
  EXPECT_EQ(Kinds(Drain(h)), (std::vector<uint32_t>{PDU_COPST_EXECUTING, PDU_IT_RESULT, PDU_COPST_FINISHED}));
}

TEST_F(EngineTest, SeveralResponsesWhenMoreAreExpected) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  AnswerCop({{0x41, 0x00, 0x01}, {0x41, 0x00, 0x02}}, 10);
  Start(h, PDU_COPT_SENDRECV, {0x01, 0x00}, -1);
  WaitIdle();
  const auto items = Drain(h);
  ASSERT_EQ(Kinds(items),
            (std::vector<uint32_t>{PDU_COPST_EXECUTING, PDU_IT_RESULT, PDU_IT_RESULT, PDU_COPST_FINISHED}));
  EXPECT_EQ(items[2].data, (Bytes{0x41, 0x00, 0x02}));
}

TEST_F(EngineTest, EmptySendRecvCallsBackOnceWithoutEvents) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  Start(h, PDU_COPT_SENDRECV, {});
  WaitIdle();
  EXPECT_EQ(log_.count.load(), 1);
  EXPECT_TRUE(Drain(h).empty());
  EXPECT_TRUE(vci_.FramesWithCommand(kCmdCop).empty());
}

TEST_F(EngineTest, HandlesCountAcrossLinksAndDelayGetsNoEvents) {
  const uint32_t a = MakeLink("KW82_on_KW_UART");
  const uint32_t b = MakeLink("KW82_on_KW_UART");
  EXPECT_EQ(Start(a, PDU_COPT_UPDATEPARAM, {}), 1u);
  EXPECT_EQ(Start(b, PDU_COPT_UPDATEPARAM, {}), 2u);
  EXPECT_EQ(Start(b, PDU_COPT_DELAY, {}), 3u);
  WaitIdle();
  // Without callbacks each UPDATEPARAM keeps only its FINISHED.
  EXPECT_EQ(Kinds(Drain(a)), (std::vector<uint32_t>{PDU_COPST_FINISHED}));
  EXPECT_EQ(Kinds(Drain(b)), (std::vector<uint32_t>{PDU_COPST_FINISHED}));
  EXPECT_TRUE(vci_.FramesWithCommand(kCmdCop).empty());
}

TEST_F(EngineTest, StartCommSetsCommStartedAndStopCommDoesNot) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  AnswerCop({{0xC1, 0xEF, 0x8F}});
  Start(h, PDU_COPT_STARTCOMM, {0x81});
  WaitIdle();
  EXPECT_EQ(test::HandlerOf(h)->CllStatus.load(), PDU_CLLST_COMM_STARTED);
  EXPECT_EQ(Kinds(Drain(h)), (std::vector<uint32_t>{PDU_COPST_EXECUTING, PDU_CLLST_COMM_STARTED, PDU_IT_RESULT,
                                                    PDU_COPST_FINISHED}));
  test::HandlerOf(h)->CllStatus.store(PDU_CLLST_ONLINE);
  Start(h, PDU_COPT_STOPCOMM, {0x82});
  WaitIdle();
  EXPECT_EQ(test::HandlerOf(h)->CllStatus.load(), PDU_CLLST_ONLINE);
  EXPECT_EQ(Kinds(Drain(h)), (std::vector<uint32_t>{PDU_COPST_EXECUTING, PDU_IT_RESULT, PDU_COPST_FINISHED}));
}

TEST_F(EngineTest, UpdateParamSendsNothingAndCancelChangesNothing) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  const uint32_t cop = Start(h, PDU_COPT_UPDATEPARAM, {});
  EXPECT_EQ(PDUCancelComPrimitive(1, h, cop), PDU_STATUS_NOERROR);
  WaitIdle();
  EXPECT_EQ(Kinds(Drain(h)), (std::vector<uint32_t>{PDU_COPST_EXECUTING, PDU_COPST_FINISHED}));
  EXPECT_TRUE(vci_.FramesWithCommand(kCmdCop).empty());
}

// The callback fetches and releases items from inside, on the engine
// thread, while the engine may hold the ApiLock (link-status jobs).
void PDU_CALL DrainingCallback(T_PDU_EVT_DATA, UNUM32 hMod, UNUM32 hCLL, void*, void*) {
  PDU_EVENT_ITEM* ev = nullptr;
  while (PDUGetEventItem(hMod, hCLL, &ev) == PDU_STATUS_NOERROR) {
    PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(ev));
    ++g_log->count;
  }
}

TEST_F(EngineTest, CallbackMayReenterTheApiOnBothPaths) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, DrainingCallback), PDU_STATUS_NOERROR);
  AnswerCop({{0x50, 0x03}});
  Start(h, PDU_COPT_SENDRECV, {0x10, 0x03});
  {
    // A link-status job, delivered under the ApiLock.
    ApiLockGuard g(ApiLock());
    CopJob job = Module().g_CopJob;
    job.hMod = 1;
    job.hCLL = h;
    job.JobKind = kJobKindLinkStatus;
    AppendCopJob(job);
  }
  WaitIdle();
  EXPECT_EQ(log_.count.load(), 4);  // EXECUTING, result, FINISHED, status
}

TEST_F(EngineTest, StatusJobWaitsForTheQueueGate) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  {
    ApiLockGuard g(ApiLock());
    LinkHandler(h)->CllStatus.store(PDU_CLLST_OFFLINE);
  }
  {
    ApiLockGuard g(ApiLock());
    CopJob job = Module().g_CopJob;
    job.hMod = 1;
    job.hCLL = h;
    job.JobKind = kJobKindLinkStatus;
    AppendCopJob(job);
  }
  platform::SleepMs(100);
  EXPECT_EQ(log_.count.load(), 0);  // g_QueueRun is still 0
  Start(h, PDU_COPT_UPDATEPARAM, {});
  WaitIdle();
  const auto items = Drain(h);
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items[0].status, PDU_CLLST_OFFLINE);
  EXPECT_EQ(items[0].hCop, 0xFFFFFFFFu);
}

TEST_F(EngineTest, BadInputIsRefusedWithoutSpendingAHandle) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  uint8_t req[] = {0x3E};
  uint32_t hCoP = 77;
  EXPECT_EQ(PDUStartComPrimitive(1, 0, PDU_COPT_SENDRECV, 1, req, nullptr, nullptr, &hCoP), PDU_ERR_INVALID_HANDLE);
  EXPECT_EQ(PDUStartComPrimitive(1, h + 1, PDU_COPT_SENDRECV, 1, req, nullptr, nullptr, &hCoP),
            PDU_ERR_INVALID_HANDLE);
  EXPECT_EQ(PDUStartComPrimitive(1, 5000, PDU_COPT_SENDRECV, 1, req, nullptr, nullptr, &hCoP),
            PDU_ERR_INVALID_HANDLE);
  EXPECT_EQ(PDUStartComPrimitive(1, h, PDU_COPT_SENDRECV, 1, req, nullptr, nullptr, nullptr),
            PDU_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(PDUStartComPrimitive(1, h, PDU_COPT_SENDRECV, 4, nullptr, nullptr, nullptr, &hCoP),
            PDU_ERR_INVALID_PARAMETERS);
  std::vector<uint8_t> big(4093, 0x11);
  EXPECT_EQ(PDUStartComPrimitive(1, h, PDU_COPT_SENDRECV, 4093, big.data(), nullptr, nullptr, &hCoP),
            PDU_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(hCoP, 77u);
  // A null control block is all-zero control data.
  EXPECT_EQ(PDUStartComPrimitive(1, h, PDU_COPT_UPDATEPARAM, 0, nullptr, nullptr, nullptr, &hCoP),
            PDU_STATUS_NOERROR);
  EXPECT_EQ(hCoP, 1u);
  PDU_EVENT_ITEM** none = nullptr;
  EXPECT_EQ(PDUGetEventItem(1, h, none), PDU_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(PDUDestroyItem(nullptr), PDU_ERR_INVALID_PARAMETERS);
}

TEST_F(EngineTest, ResultItemOwnsItsData) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  AnswerCop({{0x62, 0x01, 0xAA}});
  Start(h, PDU_COPT_SENDRECV, {0x22, 0x01});
  WaitIdle();
  PDU_EVENT_ITEM* exec = nullptr;
  PDU_EVENT_ITEM* result = nullptr;
  ASSERT_EQ(PDUGetEventItem(1, h, &exec), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUGetEventItem(1, h, &result), PDU_STATUS_NOERROR);
  ASSERT_EQ(result->ItemType, PDU_IT_RESULT);
  AnswerCop({{0x62, 0x02, 0xBB}});
  Start(h, PDU_COPT_SENDRECV, {0x22, 0x02});
  WaitIdle();
  Drain(h);
  auto* r = static_cast<PDU_RESULT_DATA*>(result->pData);
  EXPECT_EQ(Bytes(r->pDataBytes, r->pDataBytes + r->NumDataBytes), (Bytes{0x62, 0x01, 0xAA}));
  PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(exec));
  PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(result));
}

TEST_F(EngineTest, RegisterWithHugeHandleUsesTheModuleSlot) {
  ASSERT_EQ(PDURegisterEventCallback(1, 5000, RecordingCallback), PDU_STATUS_NOERROR);
  EXPECT_EQ(test::CallbackOf(0), &RecordingCallback);
  ASSERT_EQ(PDURegisterEventCallback(1, 0, nullptr), PDU_STATUS_NOERROR);
  EXPECT_EQ(test::CallbackOf(0), nullptr);
}

TEST_F(EngineTest, IdleEngineUsesNoCpu) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  Start(h, PDU_COPT_UPDATEPARAM, {});
  WaitIdle();
  const uint64_t before = platform::ProcessCpuMicros();
  platform::SleepMs(1000);
  const uint64_t used = platform::ProcessCpuMicros() - before;
  EXPECT_LT(used, 10000u) << "engine, receive and VCI threads together used " << used << " us";
}

TEST_F(EngineTest, EventsSurviveDestructionAndReconstruction) {
  const uint32_t h = MakeLink("KW82_on_KW_UART");
  ASSERT_EQ(PDURegisterEventCallback(1, h, RecordingCallback), PDU_STATUS_NOERROR);
  Start(h, PDU_COPT_UPDATEPARAM, {});
  WaitIdle();
  ASSERT_EQ(PDUDestruct(), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), PDU_STATUS_NOERROR);
  EXPECT_EQ(Kinds(Drain(h)), (std::vector<uint32_t>{PDU_COPST_EXECUTING, PDU_COPST_FINISHED}));
  // The callback survived too.
  EXPECT_EQ(test::CallbackOf(h), &RecordingCallback);
}

}  // namespace
}  // namespace pdu::engine
