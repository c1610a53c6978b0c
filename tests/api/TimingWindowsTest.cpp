// The engine's waits and the values the application receives, stated in
// literals: the window for further responses, the wait after a
// response-pending answer, the SENDRECV wait set by CP_P2Max through
// UPDATEPARAM, the items' timestamps, the link tag handed to the callback,
// PDUGetStatus, the module's identity text and the TP2.0 channels after a
// new construction.
#include "support/SessionFixture.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace pdu::test {
namespace {

const Bytes kCanId = {0xE8, 0x07, 0x00, 0x00};  // the response identifier in front of each message

Bytes Msg(std::initializer_list<uint8_t> payload) {
  Bytes b = kCanId;
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

class TimingWindows : public SessionTest {
 protected:
  // A CAN link from resource 1001 with the collecting callback, connected.
  uint32_t Link(void* tag = nullptr) {
    uint32_t h = 0;
    EXPECT_EQ(PDUCreateComLogicalLink(kMod, nullptr, 1001, tag, &h, nullptr), 0u);
    EXPECT_EQ(PDURegisterEventCallback(kMod, h, ItemCollector::Callback), 0u);
    EXPECT_EQ(PDUConnect(kMod, h), 0u);
    EXPECT_TRUE(WaitForStatus(0x8051));  // ONLINE
    return h;
  }
  bool WaitForStatus(uint32_t status, size_t from = 0) { return items_.WaitStatus(status, from); }
  std::vector<SeenItem> Items() { return items_.Items(); }
  size_t ItemCount() { return items_.Items().size(); }
  // Starts a ComPrimitive; returns the tick when it was started.
  uint32_t Start(uint32_t hCLL, uint32_t copType, Bytes request, int32_t receiveCycles = 1) {
    PDU_COP_CTRL_DATA ctrl{};
    ctrl.NumSendCycles = 1;
    ctrl.NumReceiveCycles = receiveCycles;
    uint32_t hCoP = 0;
    const uint32_t t0 = platform::ClockTicks();
    EXPECT_EQ(PDUStartComPrimitive(kMod, hCLL, copType, static_cast<UNUM32>(request.size()),
                                   request.empty() ? nullptr : request.data(), &ctrl, nullptr, &hCoP),
              0u);
    return t0;
  }
  // The COP answer, then these vehicle-data messages (each after its pause).
  void EcuAnswers(std::vector<std::pair<uint32_t, Bytes>> messages) {
    vci_.SetHandler(0x10, [messages](const VciFrame&) {
      std::vector<VciReply> r{TestVci::Answer(0x10, 0)};
      for (const auto& [pause, message] : messages) {
        VciReply v = TestVci::VehicleData(0, 0, 0, message);
        v.delayMs = pause;
        r.push_back(v);
      }
      return r;
    });
  }
};

// SENDRECV status and item kinds, in the order they came.
std::vector<uint32_t> Kinds(const std::vector<SeenItem>& items, size_t from) {
  return ItemCollector::Kinds(std::vector<SeenItem>(items.begin() + static_cast<std::ptrdiff_t>(from), items.end()));
}

TEST_F(TimingWindows, ItemsCarryTheirTimesAndTheCallbackGetsTheLinkTag) {
  Construct(Mdf::kShipped);
  EcuAnswers({{0, Msg({0x62, 0xF1, 0x90, 0x01})}});
  int tagTarget = 0;
  const uint32_t hCLL = Link(&tagTarget);
  const size_t from = ItemCount();
  const uint32_t t0 = Start(hCLL, 0x8004, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(WaitForStatus(0x8012, from));  // FINISHED
  const uint32_t t1 = platform::ClockTicks();

  const auto items = Items();
  EXPECT_EQ(Kinds(items, from), (std::vector<uint32_t>{0x8011, 0x1300, 0x8012}));
  for (const SeenItem& s : items) {
    EXPECT_EQ(s.tag, &tagTarget) << "the callback gets the link's pCllTag";
    EXPECT_LE(s.timestamp, s.tick) << "stamped when it was made";
  }
  for (size_t i = from; i < items.size(); ++i) {
    EXPECT_GE(items[i].timestamp, t0);
    EXPECT_LE(items[i].timestamp, t1);
  }
  const SeenItem& result = items[from + 1];
  EXPECT_EQ(result.timestamp - result.startMsgTimestamp, 10u) << "StartMsgTimestamp is 10 ms before the item";
}

TEST_F(TimingWindows, FurtherResponsesAreAwaitedOnlyBriefly) {
  Construct(Mdf::kShipped);
  EcuAnswers({{0, Msg({0x62, 0xF1, 0x90, 0x01})}});
  const uint32_t hCLL = Link();
  const size_t from = ItemCount();
  // Any number of responses: after each final one the engine waits 20 ms
  // (plus the read's 30 ms) for another, then finishes.
  const uint32_t t0 = Start(hCLL, 0x8004, {0x22, 0xF1, 0x90}, -1);
  ASSERT_TRUE(WaitForStatus(0x8012, from));
  const uint32_t elapsed = platform::ClockTicks() - t0;
  EXPECT_EQ(Kinds(Items(), from), (std::vector<uint32_t>{0x8011, 0x1300, 0x8012}));
  EXPECT_GE(elapsed + 1, 50u);
  EXPECT_LT(elapsed, 1000u);
}

TEST_F(TimingWindows, ResponsePendingExtendsTheWaitBeyondP2) {
  Construct(Mdf::kShipped);
  // 7F 22 78, then the answer 2600 ms later: longer than the 2000 ms P2
  // and P2*, shorter than the 5000 ms the engine waits after a pending.
  EcuAnswers({{0, Msg({0x7F, 0x22, 0x78})}, {2600, Msg({0x62, 0xF1, 0x90, 0x02})}});
  const uint32_t hCLL = Link();
  const size_t from = ItemCount();
  const uint32_t t0 = Start(hCLL, 0x8004, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(WaitForStatus(0x8012, from));
  const uint32_t elapsed = platform::ClockTicks() - t0;
  EXPECT_EQ(Kinds(Items(), from), (std::vector<uint32_t>{0x8011, 0x1300, 0x8012}));
  EXPECT_GE(elapsed + 1, 2600u);
  EXPECT_LT(elapsed, 4000u);
}

TEST_F(TimingWindows, UpdateParamTakesTheSendRecvWaitFromP2Max) {
  Construct(Mdf::kShipped);
  EcuAnswers({});  // the VCI takes the request, the ECU stays silent
  const uint32_t hCLL = Link();
  SetU32(hCLL, Id("CP_P2Max"), 3000000);  // microseconds
  size_t from = ItemCount();
  Start(hCLL, 0x8003, {});  // UPDATEPARAM
  ASSERT_TRUE(WaitForStatus(0x8012, from));
  from = ItemCount();
  const uint32_t t0 = Start(hCLL, 0x8004, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(WaitForStatus(0x8012, from));
  const uint32_t elapsed = platform::ClockTicks() - t0;
  EXPECT_EQ(Kinds(Items(), from), (std::vector<uint32_t>{0x8011, 0x1302, 0x8012}));  // EXECUTING, error, FINISHED
  // A CAN link waits P2 plus 1000 ms, and the read 30 ms more.
  EXPECT_GE(elapsed + 1, 4030u);
  EXPECT_LT(elapsed, 4800u);
}

TEST_F(TimingWindows, GetStatusStampsTheCallAndTheModuleNamesItsVendor) {
  Construct(Mdf::kShipped);
  uint32_t status = 0, timestamp = 0, extra = 0;
  const uint32_t t0 = platform::ClockTicks();
  ASSERT_EQ(PDUGetStatus(kMod, 0xFFFFFFFF, 0xFFFFFFFF, &status, &timestamp, &extra), 0u);
  const uint32_t t1 = platform::ClockTicks();
  EXPECT_GE(timestamp, t0);
  EXPECT_LE(timestamp, t1);
  EXPECT_EQ(extra, 0xFFFFFFFEu);

  PDU_MODULE_ITEM* modules = nullptr;
  ASSERT_EQ(PDUGetModuleIds(&modules), 0u);
  ASSERT_NE(modules, nullptr);
  ASSERT_EQ(modules->NumEntries, 1u);
  EXPECT_STREQ(modules->pModuleData[0].pVendorModuleName,
               "VendorName='Norvik Delta GmbH' ModuleName='QDM7318' SerialNumber='7042519' PersonalVciID='00' "
               "IP='127.0.0.1' ConnectionType='USB' Status='available'");
  EXPECT_STREQ(modules->pModuleData[0].pVendorAdditionalInfo, "Interface='USB'");
  PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(modules));
}

TEST_F(TimingWindows, ANewConstructionFreesEveryTp20Channel) {
  Construct(Mdf::kShipped);
  ByRscData("VW_DWCAN", "MSP_VW2000LP_on_TP20");
  ByRscData("VW_DWCAN", "MSP_VW2000LP_on_TP20");
  ASSERT_EQ(PDUDestruct(), 0u);
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), 0u);
  const uint32_t h = ByRscData("VW_DWCAN", "MSP_VW2000LP_on_TP20");
  EXPECT_EQ(h, 1u);
  ASSERT_NE(Handler(h), nullptr);
  EXPECT_EQ(Handler(h)->Tp20ChannelId.load(), 0u);
}

}  // namespace
}  // namespace pdu::test
