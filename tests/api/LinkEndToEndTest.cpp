// One whole session as an application runs it, against the test VCI and the
// shipped module description: construct, a CAN link by resource id,
// connect, start communication, read the VIN, disconnect, destroy,
// destruct. Checks every command on the wire and every item the
// application receives.
#include "support/SessionFixture.h"
#include "mdf/VciCodes.h"

namespace pdu::test {
namespace {

const Bytes kResponseCanId = {0xE8, 0x07, 0x00, 0x00};  // 0x7E8, as the VCI puts it in front
const Bytes kVin = {0x62, 0xF1, 0x90, 'W', 'V', 'W', 'Z', 'Z', 'Z', '1', 'K', 'Z', '1', '2', '3', '4', '5', '6', '7', '8'};

using LinkEndToEnd = SessionTest;

TEST_F(LinkEndToEnd, ReadsTheVinOverACanLinkMadeFromTheModuleDescription) {
  Construct(Mdf::kShipped);
  // The VCI answers a COP, then delivers the ECU's message behind the
  // response identifier: nothing for STARTCOMM, the VIN for the read.
  vci_.SetHandler(kCmdCop, [](const VciFrame& f) {
    std::vector<VciReply> replies{TestVci::Answer(kCmdCop, 0)};
    Bytes message = kResponseCanId;
    if (WordAt(f.data, 8) == PDU_COPT_SENDRECV) message.insert(message.end(), kVin.begin(), kVin.end());
    replies.push_back(TestVci::VehicleData(0, 0, 0, message));
    return replies;
  });

  uint32_t hCLL = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, 1001, nullptr, &hCLL, nullptr), PDU_STATUS_NOERROR);
  ASSERT_EQ(hCLL, 1u);
  ASSERT_EQ(PDURegisterEventCallback(kMod, hCLL, ItemCollector::Callback), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUConnect(kMod, hCLL), PDU_STATUS_NOERROR);
  ASSERT_TRUE(items_.WaitCount(1));

  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  uint32_t start = 0;
  ASSERT_EQ(PDUStartComPrimitive(kMod, hCLL, PDU_COPT_STARTCOMM, 0, nullptr, &ctrl, nullptr, &start),
            PDU_STATUS_NOERROR);
  uint8_t request[] = {0x22, 0xF1, 0x90};
  uint32_t read = 0;
  ASSERT_EQ(PDUStartComPrimitive(kMod, hCLL, PDU_COPT_SENDRECV, 3, request, &ctrl, nullptr, &read),
            PDU_STATUS_NOERROR);
  EXPECT_EQ(start, 1u);
  EXPECT_EQ(read, 2u);
  // ONLINE; EXECUTING, COMM_STARTED, FINISHED; EXECUTING, result, FINISHED.
  ASSERT_TRUE(items_.WaitCount(7));
  ASSERT_EQ(PDUDisconnect(kMod, hCLL), PDU_STATUS_NOERROR);
  ASSERT_TRUE(items_.WaitCount(8));
  ASSERT_EQ(PDUDestroyComLogicalLink(kMod, hCLL), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUDestruct(), PDU_STATUS_NOERROR);

  // ---- the items ----
  EXPECT_EQ(items_.Kinds(),
            (std::vector<uint32_t>{PDU_CLLST_ONLINE, PDU_COPST_EXECUTING, PDU_CLLST_COMM_STARTED, PDU_COPST_FINISHED,
                                   PDU_COPST_EXECUTING, PDU_IT_RESULT, PDU_COPST_FINISHED, PDU_CLLST_OFFLINE}));
  const std::vector<SeenItem> items = items_.Items();
  EXPECT_EQ(items[3].hCop, start);
  EXPECT_EQ(items[5].hCop, read);
  EXPECT_EQ(items[5].data, kVin);  // without the response identifier

  // ---- the wire ----
  std::vector<uint8_t> commands;
  for (const VciFrame& f : LinkFrames()) commands.push_back(f.command);
  ASSERT_GE(commands.size(), 7u);
  EXPECT_EQ(commands.front(), kCmdSetLinkResource);
  const std::vector<uint8_t> tail(commands.end() - 6, commands.end());
  EXPECT_EQ(tail, (std::vector<uint8_t>{kCmdConnectLink, kCmdCop, kCmdCop, kCmdDisconnectLink, kCmdDestroyLink,
                                        kCmdClose}));
  for (size_t i = 1; i + 6 < commands.size(); ++i) EXPECT_EQ(commands[i], kCmdSetLinkParam);

  const auto cops = vci_.FramesWithCommand(kCmdCop);
  ASSERT_EQ(cops.size(), 2u);
  EXPECT_EQ(WordAt(cops[0].data, 8), PDU_COPT_STARTCOMM);
  // hMod, hCLL, SENDRECV, 7 bytes: the request identifier 0x7E0 and the
  // request, then the cycles and no TxFlag bytes.
  const Bytes& sendRecv = cops[1].data;
  EXPECT_EQ(sendRecv, [] {
    Bytes b = TestVci::Words({kMod, 1, PDU_COPT_SENDRECV, 7});
    for (uint8_t x : {0xE0, 0x07, 0x00, 0x00, 0x22, 0xF1, 0x90}) b.push_back(x);
    const Bytes tail = TestVci::Words({1, 1, 0});
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
  }());
}

}  // namespace
}  // namespace pdu::test
