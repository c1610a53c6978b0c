// The engine's waits on the manual clock, to the millisecond, through the
// API: how long a SENDRECV waits for its first answer per handler class
// (and after UPDATEPARAM took CP_P2Max), the window for further responses,
// the wait after a response-pending answer, and a VCI that says nothing.
// Every read of vehicle data waits the handler's time plus 30 ms.
//
// The clock's pauses are instant (construction runs as usual); the waits
// move only when the test steps them. A test first sees the engine blocked
// in a wait ending at the expected tick, then steps to one millisecond
// before it (nothing happens) and to it (the ComPrimitive ends).

#include <algorithm>

#include "support/SessionFixture.h"
#include "support/TestClock.h"

namespace pdu::engine {
namespace {

using namespace pdu::test;

// An ISO 15765 answer carries the CAN identifier 0x7E8 in front.
Bytes Can(std::initializer_list<uint8_t> payload) {
  Bytes b(4 + payload.size());
  b[0] = 0xE8;
  b[1] = 0x07;
  std::copy(payload.begin(), payload.end(), b.begin() + 4);
  return b;
}

class EngineWaits : public test::SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    clock_.SetInstantPauses(true);
    Construct();
  }
  void TearDown() override {
    // A test that failed halfway leaves a ComPrimitive waiting: let every
    // wait run out so that PDUDestruct finds an idle engine.
    clock_.Advance(60000);
    SessionTest::TearDown();
  }

  // A connected link of a resource (by short name) with the collector.
  uint32_t Link(const char* resource) { return ConnectedLink(Id(resource)); }

  // The engine waits until exactly `at`: blocked in a wait ending then, not
  // done one millisecond before, done at it (time stands at `at` after).
  void EndsAt(uint32_t hCop, uint32_t at, const char* what) {
    ASSERT_TRUE(clock_.WaitForWaitUntil(at)) << what << ": no wait ending at +" << at - t0_ << " ms; waits end at "
                                             << testing::PrintToString(Relative(clock_.Deadlines()));
    clock_.Advance(at - 1 - clock_.Ticks());
    // A millisecond before, the engine is still in that wait: it did not end early.
    ASSERT_TRUE(clock_.WaitForWaitUntil(at, 1000)) << what << ": ended before +" << at - t0_ << " ms";
    clock_.Advance(1);
    ASSERT_TRUE(items_.WaitFinished(hCop, 5000)) << what << ": still waits at +" << at - t0_ << " ms";
  }
  // Steps to `at` and waits until the engine has taken what arrived.
  void StepTo(uint32_t at) { clock_.Advance(at - clock_.Ticks()); }
  std::vector<int64_t> Relative(const std::vector<uint32_t>& ticks) const {
    std::vector<int64_t> out;
    for (uint32_t t : ticks) out.push_back(static_cast<int64_t>(t) - t0_);
    return out;
  }

  test::ManualClock clock_;
  uint32_t t0_ = 0;
};

// Per handler class: the wait of a SENDRECV without answer with the
// defaults, after CP_P2Max = 50 ms and after CP_P2Max = 5000 ms (each
// taken by an UPDATEPARAM), without the read's 30 ms. A timing ComParam
// may lengthen a wait, never shorten it below the class's first one; the
// base class adds 200 ms for every SENDRECV that got no answer.
struct ClassWaits { const char* resource; uint32_t defaults, afterP2Max50, afterP2Max5000; };

const ClassWaits kClassWaits[] = {
    {"RSC_ISO_15765_3_on_ISO_15765_2_6_14", 3000, 3000, 6000}, {"RSC_ISO_14230_3_on_ISO_14230_2_7", 3000, 3000, 5000},
    {"RSC_MSP_VW2000LP_on_TP20_6_14", 3000, 3000, 6000}, {"RSC_ISO_15031_5_on_ISO_9141_2_7", 2000, 2000, 5000},
    {"RSC_MSP_KW1281_on_TP16_6_14", 3000, 3000, 5000}, {"RSC_MSP_VW2000LP_on_TP16_6_14", 3000, 3000, 5000},
    {"RSC_KW81_on_KW_UART_7", 2200, 2400, 5200}, {"RSC_KW71_on_KW_UART_7_15", 2200, 2400, 5200},
    {"RSC_ISO_11898_RAW_6_14", 2200, 2400, 5200}, {"RSC_ISO_OBD_on_SAE_J1850_2_10", 2200, 2400, 5200},
    {"RSC_SAE_J2190_on_SAE_J1850_VPW_2_10", 2200, 2400, 5200},
    {"RSC_SAE_J1939_73_on_SAE_J1939_21_6_14", 2200, 2400, 5200}, {"RSC_SAE_J1587_on_SAE_J1708_12_13", 2200, 2400, 5200},
    {"RSC_SAE_J2610_on_SAE_J2610_SCI_7_12", 2200, 2400, 5200},
};

TEST_F(EngineWaits, SendRecvWithoutAnswerWaitsPerHandlerClass) {
  EcuAnswers({});  // the VCI takes every request, no ECU answers
  for (const ClassWaits& c : kClassWaits) {
    SCOPED_TRACE(c.resource);
    const uint32_t hCLL = Link(c.resource);
    const uint32_t waits[] = {c.defaults, c.afterP2Max50, c.afterP2Max5000};
    const uint32_t p2Max[] = {0, 50000, 5000000};  // microseconds
    for (int step = 0; step < 3; ++step) {
      if (p2Max[step] != 0) {
        SetU32(hCLL, Id("CP_P2Max"), p2Max[step]);
        const uint32_t update = Start(hCLL, kUpdateParam, {});
        ASSERT_TRUE(items_.WaitFinished(update, 5000));
      }
      t0_ = clock_.Ticks();
      const uint32_t hCop = Start(hCLL, kSendRecv, {0x22, 0xF1, 0x90});
      EndsAt(hCop, t0_ + waits[step] + 30, c.resource);
      EXPECT_EQ(KindsOf(hCop), (std::vector<uint32_t>{kExecuting, kItemError, kFinished}));
    }
  }
}

TEST_F(EngineWaits, FurtherResponsesAreTakenWithinFiftyMillisecondsOfTheLast) {
  EcuAnswers({Can({0x62, 0xF1, 0x90, 0x01})});
  const uint32_t hCLL = Link("RSC_ISO_15765_3_on_ISO_15765_2_6_14");
  t0_ = clock_.Ticks();
  const uint32_t hCop = Start(hCLL, kSendRecv, {0x22, 0xF1, 0x90}, -1);  // any number of responses
  // The items reach the callback when the ComPrimitive ends; until then
  // the engine's next wait shows that it took an answer. After each final
  // answer: 20 ms for another, and the read's 30 ms.
  ASSERT_TRUE(clock_.WaitForWaitUntil(t0_ + 50)) << testing::PrintToString(Relative(clock_.Deadlines()));
  StepTo(t0_ + 49);
  vci_.SendVehicleData(0, 0, 0, Can({0x62, 0xF1, 0x90, 0x02}));
  // An answer 49 ms after the last one is a response: the window starts
  // again at it.
  EndsAt(hCop, t0_ + 49 + 50, "the second window");
  StepTo(t0_ + 49 + 51);
  vci_.SendVehicleData(0, 0, 0, Can({0x62, 0xF1, 0x90, 0x03}));
  items_.WaitCount(items_.Items().size() + 1, 100);
  EXPECT_EQ(KindsOf(hCop), (std::vector<uint32_t>{kExecuting, kItemResult, kItemResult, kFinished}))
      << "an answer 51 ms after the last one is not";
  const auto items = items_.ItemsOf(hCop);
  // Items are made when the application fetches them, at the end.
  EXPECT_EQ(items[1].timestamp - t0_, 99u);
  EXPECT_EQ(items[2].timestamp - t0_, 99u);
  EXPECT_EQ(items[2].timestamp - items[2].startMsgTimestamp, 10u) << "StartMsgTimestamp is 10 ms before the item";
}

TEST_F(EngineWaits, ResponsePendingWaitsFiveSecondsForTheAnswer) {
  EcuAnswers({Can({0x7F, 0x22, 0x78})});
  const uint32_t hCLL = Link("RSC_ISO_15765_3_on_ISO_15765_2_6_14");
  t0_ = clock_.Ticks();
  const uint32_t answered = Start(hCLL, kSendRecv, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(clock_.WaitForWaitUntil(t0_ + 5030)) << testing::PrintToString(Relative(clock_.Deadlines()));
  StepTo(t0_ + 5029);
  vci_.SendVehicleData(0, 0, 0, Can({0x62, 0xF1, 0x90, 0x02}));
  ASSERT_TRUE(items_.WaitFinished(answered, 5000));
  EXPECT_EQ(KindsOf(answered), (std::vector<uint32_t>{kExecuting, kItemResult, kFinished}));
  EXPECT_EQ(items_.ItemsOf(answered)[1].data, Bytes({0x62, 0xF1, 0x90, 0x02}));

  t0_ = clock_.Ticks();
  const uint32_t late = Start(hCLL, kSendRecv, {0x22, 0xF1, 0x90});
  EndsAt(late, t0_ + 5030, "after a pending answer");
  // The request went out and was taken: the pending answer ends it quietly.
  EXPECT_EQ(KindsOf(late), (std::vector<uint32_t>{kExecuting, kFinished}));
}

TEST_F(EngineWaits, ASilentVciEndsSendRecvAndStartCommWithTheErrorEvent) {
  const uint32_t hCLL = Link("RSC_ISO_15765_3_on_ISO_15765_2_6_14");
  vci_.SetSilent(true);
  t0_ = clock_.Ticks();
  const uint32_t read = Start(hCLL, kSendRecv, {0x22, 0xF1, 0x90});
  // The COP command's 1500 ms for the VCI's answer, then the 3030 ms read.
  ASSERT_TRUE(clock_.WaitForWaitUntil(t0_ + 1500)) << testing::PrintToString(Relative(clock_.Deadlines()));
  StepTo(t0_ + 1500);
  EndsAt(read, t0_ + 1500 + 3030, "SENDRECV");
  EXPECT_EQ(KindsOf(read), (std::vector<uint32_t>{kExecuting, kItemError, kFinished}));
  EXPECT_EQ(items_.ItemsOf(read)[1].error, 0x103u) << "no answer from the ECU";
  t0_ = clock_.Ticks();
  const uint32_t comm = Start(hCLL, kStartComm, {});
  ASSERT_TRUE(clock_.WaitForWaitUntil(t0_ + 1500)) << testing::PrintToString(Relative(clock_.Deadlines()));
  StepTo(t0_ + 1500);
  EndsAt(comm, t0_ + 1500 + 2030, "STARTCOMM");
  EXPECT_EQ(KindsOf(comm), (std::vector<uint32_t>{kExecuting, kItemError, kFinished}));
  // The VCI speaks again: the session goes on.
  vci_.SetSilent(false);
  EcuAnswers({Can({0x62, 0xF1, 0x90, 0x01})});
  const uint32_t again = Start(hCLL, kSendRecv, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(items_.WaitFinished(again, 5000));
  EXPECT_EQ(KindsOf(again), (std::vector<uint32_t>{kExecuting, kItemResult, kFinished}));
}

}  // namespace
}  // namespace pdu::engine
