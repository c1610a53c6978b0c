// What the module reports outside the ComPrimitives' waits (those run on
// the manual clock in tests/engine/EngineWaitsTest.cpp): the link tag
// handed to the callback and the TP2.0 channels after a new construction.
// (PDUGetStatus's timestamp and extra info and the module's identity text:
// the golden transcript construction-and-probe.)
#include "support/SessionFixture.h"

namespace pdu::test {
namespace {

using ModuleStatus = HealthySessionTest;

TEST_F(ModuleStatus, ItemsAreStampedAndTheCallbackGetsTheLinkTag) {
  Construct();
  int tagTarget = 0;
  uint32_t hCLL = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, kCanResource, &tagTarget, &hCLL, nullptr), 0u);
  ASSERT_EQ(PDURegisterEventCallback(kMod, hCLL, ItemCollector::Callback), 0u);
  ASSERT_EQ(PDUConnect(kMod, hCLL), 0u);
  const uint32_t hCoP = Start(hCLL, 0x8004, {0x22, 0xF1, 0x90});
  ASSERT_TRUE(items_.WaitFinished(hCoP, 5000));
  EXPECT_EQ(KindsOf(hCoP), (std::vector<uint32_t>{0x8011, 0x1300, 0x8012}));
  for (const SeenItem& s : items_.Items()) {
    EXPECT_EQ(s.tag, &tagTarget) << "the callback gets the link's pCllTag";
    EXPECT_LE(s.timestamp, s.tick) << "stamped when it was made";
  }
  const SeenItem result = items_.ItemsOf(hCoP)[1];
  EXPECT_EQ(result.timestamp - result.startMsgTimestamp, 10u) << "StartMsgTimestamp is 10 ms before the item";
}

TEST_F(ModuleStatus, ANewConstructionFreesEveryTp20Channel) {
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
