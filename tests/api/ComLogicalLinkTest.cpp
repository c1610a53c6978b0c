// ComLogicalLinks against the test VCI: handles and their limits, TP2.0
// channel ids, what PDUConnect puts on the wire, the status items of
// connect and disconnect, and links named by element id.
#include <utility>

#include "support/SessionFixture.h"
#include "engine/ModuleState.h"
#include "device/DeviceLink.h"
#include "mdf/VciCodes.h"
#include "protocol/LinkComParamSet.h"

namespace pdu::test {
namespace {

using ComLogicalLink = SessionTest;

// The request identifier parseComparam gave the handler, as buildRequest
// puts it in front of a request.
uint32_t RequestPrefix(uint32_t hCLL) {
  engine::ApiLockGuard g(engine::ApiLock());
  uint8_t request[] = {0x3E};
  uint8_t out[protocol::kRequestBufferSize] = {};
  EXPECT_EQ(engine::LinkHandler(hCLL)->buildRequest(request, 1, out), 5u);
  return WordAt(Bytes(out, out + 4), 0);
}

PDU_RSC_DATA RscOf(uint32_t hCLL) {
  engine::ApiLockGuard g(engine::ApiLock());
  PDU_RSC_DATA rsc{};
  engine::LinkHandler(hCLL)->getRscData(&rsc);
  PDU_RSC_DATA ids{rsc.BusTypeId, rsc.ProtocolId, rsc.NumPinData, nullptr};
  protocol::ReleaseRscPins(&rsc);
  return ids;
}

// The (code, value) pairs of a CONNECT_LINK payload after its 24-byte head.
std::vector<std::pair<uint8_t, uint32_t>> UniquePairs(const Bytes& d) {
  std::vector<std::pair<uint8_t, uint32_t>> pairs;
  for (size_t at = 24; at + 5 <= d.size(); at += 5) pairs.emplace_back(d[at], WordAt(d, at + 1));
  return pairs;
}

// (Handles from 1 and the resource data a link reports: the golden link
// transcripts; an unknown resource's numbered link without handler: ApiMisuse.)
TEST_F(ComLogicalLink, Tp20LinksByResourceDataTakeTheLowestFreeChannel) {
  Construct(Mdf::kShipped);
  const uint32_t a = ByRscData("VW_DWCAN", "MSP_VW2000LP_on_TP20"), b = ByRscData("VW_DWCAN", "MSP_VW2000LP_on_TP20");
  EXPECT_EQ(Handler(a)->Tp20ChannelId.load(), 0u);
  EXPECT_EQ(Handler(b)->Tp20ChannelId.load(), 1u);
  EXPECT_EQ(Tp20ChannelsInUse(), 2u);
  // (A destroyed link's channel is the next taken: WithAllTp20ChannelsTaken...)
  // By resource id a TP2.0 link takes no channel.
  const uint32_t d = ByResource(1010);
  ASSERT_NE(Handler(d), nullptr);
  EXPECT_TRUE(Handler(d)->isTP20());
  EXPECT_EQ(Handler(d)->Tp20ChannelId.load(), 0u);
  EXPECT_EQ(Tp20ChannelsInUse(), 2u);
  // Links of other protocols take none either.
  ByRscData("ISO_11898_2_DWCAN", "ISO_15765_3_on_ISO_15765_2");
  EXPECT_EQ(Tp20ChannelsInUse(), 2u);
}

TEST_F(ComLogicalLink, WithAllTp20ChannelsTakenCreationIsBusyAndSpendsNoHandle) {
  Construct(Mdf::kShipped);
  for (uint32_t i = 0; i < 100; ++i) ByRscData("VW_DWCAN", "MSP_VW2000LP_on_TP20");
  ASSERT_EQ(Tp20ChannelsInUse(), 100u);  // every TP2.0 channel

  PDU_PIN_DATA pins[1] = {{6, 0}};
  PDU_RSC_DATA rsc{Id("VW_DWCAN"), Id("MSP_VW2000LP_on_TP20"), 1, pins};
  uint32_t h = 0xDEAD;
  EXPECT_EQ(PDUCreateComLogicalLink(kMod, &rsc, 0, nullptr, &h, nullptr), PDU_ERR_RESOURCE_BUSY);
  EXPECT_EQ(h, 0xDEADu);
  EXPECT_EQ(test::LinkCounter(), 100u);
  EXPECT_EQ(ByResource(1001), 101u);

  // Handle 42 held channel 41; it is the one free again.
  ASSERT_EQ(PDUDestroyComLogicalLink(kMod, 42), PDU_STATUS_NOERROR);
  const uint32_t again = ByRscData("VW_DWCAN", "MSP_VW2000LP_on_TP20");
  EXPECT_EQ(again, 102u);
  EXPECT_EQ(Handler(again)->Tp20ChannelId.load(), 41u);
}

TEST_F(ComLogicalLink, ANewConstructionFreesEveryTp20Channel) {
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

TEST_F(ComLogicalLink, The1024thLinkOfAConstructionIsRefused) {
  Construct(Mdf::kShipped);
  for (uint32_t i = 1; i <= 1023; ++i) ASSERT_EQ(ByResource(4242), i);
  uint32_t h = 0xDEAD;
  EXPECT_EQ(PDUCreateComLogicalLink(kMod, nullptr, 1001, nullptr, &h, nullptr), 0x01u);
  EXPECT_EQ(h, 0xDEADu);
  EXPECT_EQ(test::LinkCounter(), 1023u);
}

// (Null pointers and bad handles: tests/reliability/ApiMisuseTest.cpp.
// What a connect sends, frame by frame: the golden link transcripts.)
TEST_F(ComLogicalLink, CreationFlagBytesGoWithTheResourceAndAHollowFlagIsNone) {
  Construct(Mdf::kShipped);
  const uint32_t flagged = ByResource(1001, {0xAA, 0x55});
  const auto withFlags = ConnectSends(flagged, kCmdSetLinkResource);
  ASSERT_EQ(withFlags.size(), 1u);
  EXPECT_EQ(WordAt(withFlags[0].data, 40), 2u);
  EXPECT_EQ(Bytes(withFlags[0].data.end() - 2, withFlags[0].data.end()), (Bytes{0xAA, 0x55}));

  // Flag bytes announced without an array count as none. (A null flag
  // pointer: the golden prologue's link, whose resource frame is pinned.)
  PDU_FLAG_DATA hollow{3, nullptr};
  uint32_t h = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, 1001, nullptr, &h, &hollow), PDU_STATUS_NOERROR);
  const auto resource = ConnectSends(h, kCmdSetLinkResource);
  ASSERT_EQ(resource.size(), 1u);
  EXPECT_EQ(resource[0].data.size(), 28u + 16u);
  EXPECT_EQ(WordAt(resource[0].data, 40), 0u);  // no flag bytes
}

TEST_F(ComLogicalLink, Tp20ConnectSendsTheResponseIdentifierPlusTheChannelId) {
  Construct(Mdf::kShipped);
  ByRscData("VW_DWCAN", "MSP_VW2000LP_on_TP20");
  const uint32_t h = ByRscData("VW_DWCAN", "MSP_VW2000LP_on_TP20");
  ASSERT_EQ(Handler(h)->Tp20ChannelId.load(), 1u);
  const auto connect = ConnectSends(h, kCmdConnectLink);
  ASSERT_EQ(connect.size(), 1u);
  const auto pairs = UniquePairs(connect[0].data);
  EXPECT_EQ(pairs, (std::vector<std::pair<uint8_t, uint32_t>>{{0xCD, 512}, {0xCE, 513}, {0xD0, 768 + 1}}));
}

TEST_F(ComLogicalLink, ADisconnectBeforeAnyConnectIsDeliveredOnceTheQueueRuns) {
  Construct(Mdf::kShipped);
  const uint32_t h = ByResource(1001);
  ASSERT_EQ(PDURegisterEventCallback(kMod, h, ItemCollector::Callback), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUDisconnect(kMod, h), PDU_STATUS_NOERROR);
  // The queue does not run before the first connect: the job waits in it.
  EXPECT_EQ(engine::Module().QueueRun(), 0u);
  EXPECT_EQ(test::QueuedJobs(), 1u);
  EXPECT_TRUE(items_.Items().empty());

  ASSERT_EQ(PDUConnect(kMod, h), PDU_STATUS_NOERROR);
  ASSERT_TRUE(items_.WaitCount(2));
  // Each job tells the status as it is when the engine takes it: after the
  // connect, both say ONLINE.
  EXPECT_EQ(items_.Kinds(), (std::vector<uint32_t>{PDU_CLLST_ONLINE, PDU_CLLST_ONLINE}));
}

TEST_F(ComLogicalLink, WithoutAVciConnectOnlyQueuesTheStatusJob) {
  Construct(Mdf::kShipped, /*withVci=*/false);
  ASSERT_EQ(device::GetDeviceLink(), nullptr);
  const uint32_t h = ByResource(1001);
  const size_t jobsBefore = test::QueuedJobs();
  ASSERT_EQ(PDUConnect(kMod, h), PDU_STATUS_NOERROR);
  EXPECT_EQ(Handler(h)->CllStatus.load(), 0u);  // never configured, so not ONLINE
  EXPECT_EQ(engine::Module().QueueRun(), 1u);
  ASSERT_EQ(test::QueuedJobs(), jobsBefore + 1);
  EXPECT_EQ(test::LastQueuedJob().JobKind, 2u);  // a link-status job
  EXPECT_EQ(test::LastQueuedJob().hCLL, h);
  EXPECT_EQ(RequestPrefix(h), 0x7E0u);

  EXPECT_EQ(PDUDisconnect(kMod, h), PDU_STATUS_NOERROR);
  EXPECT_EQ(Handler(h)->CllStatus.load(), PDU_CLLST_OFFLINE);
  EXPECT_EQ(PDUDestroyComLogicalLink(kMod, h), PDU_STATUS_NOERROR);
  EXPECT_EQ(vci_.FrameCount(), 0u);
}

TEST_F(ComLogicalLink, ResourcesOfAStandardStyleDescriptionResolveByElementId) {
  Construct(Mdf::kStandardStyle, true, /*logging=*/true);
  const uint32_t can = ByResource(1001);
  ASSERT_NE(Handler(can), nullptr);
  EXPECT_FALSE(Handler(can)->isTP20());
  const PDU_RSC_DATA rsc = RscOf(can);
  EXPECT_EQ(rsc.BusTypeId, 301u);
  EXPECT_EQ(rsc.ProtocolId, 401u);
  EXPECT_EQ(Get(can, 1).number, 50000u);  // the protocol's defaults came along

  const uint32_t tp20 = ByResource(1002);
  ASSERT_NE(Handler(tp20), nullptr);
  EXPECT_TRUE(Handler(tp20)->isTP20());
  EXPECT_EQ(RscOf(tp20).ProtocolId, 450u);

  // Element ids that name nothing give id 0 and no handler.
  const uint32_t dangling = ByResource(1003);
  EXPECT_EQ(Handler(dangling), nullptr);

  const std::string log = MainLog();
  EXPECT_NE(log.find("BusType = [301] ISO_11898_2_DWCAN\n"), std::string::npos);
  EXPECT_NE(log.find("Protocol = [401] ISO_15765_3_on_ISO_15765_2\n"), std::string::npos);
  EXPECT_NE(log.find("Protocol = [0] ID8888\n"), std::string::npos);

  // The VCI gets the codes of the resolved names.
  const auto resource = ConnectSends(can, kCmdSetLinkResource);
  ASSERT_EQ(resource.size(), 1u);
  EXPECT_EQ(WordAt(resource[0].data, 4), 12u);
  EXPECT_EQ(WordAt(resource[0].data, 8), mdf::GetVciCode("ISO_15765_3_on_ISO_15765_2"));
}

// The log lines of whole sessions are in the golden transcripts; what they
// do not show is a link nobody listens to: its events are dropped with a
// data-log line.
TEST_F(ComLogicalLink, EventsOfALinkWithoutCallbackAreDroppedWithADataLogLine) {
  Construct(Mdf::kShipped, true, true);
  vci_.SetHandler(0x10, HealthyCopReplies);
  const uint32_t silent = ByResource(1001);
  ASSERT_EQ(PDUConnect(kMod, silent), 0u);
  Start(silent, 0x8004, {0x22, 0xF1, 0x90});
  const std::string dataFile = log::CurrentLogFileNames().data;
  // The whole line, as the file holds it.
  auto logged = [&] { return ("\n" + ReadFile(dataFile)).find("\n[1]callback = null\n") != std::string::npos; };
  for (int i = 0; i < 100 && !logged(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(PDUDestruct(), 0u);
  EXPECT_TRUE(logged()) << ReadFile(dataFile);
}

}  // namespace
}  // namespace pdu::test
