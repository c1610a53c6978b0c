// The ParamBlock each class builds from the link's ComParams.
#include <gtest/gtest.h>

#include "HandlerTestSupport.h"
#include "mdf/VciCodes.h"
#include "protocol/ZPDUISO14230ProtocolHandling.h"
#include "protocol/ZPDUISO9141ProtocolHandling.h"

namespace pdu::protocol::test {
namespace {

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;
constexpr uint32_t kP2MaxCode = 15;
constexpr uint32_t kTIdleCode = 154;

using ParseComparam = HandlerTest;

TEST_F(ParseComparam, OnlyP2MaxGivesOnePairAtByteFour) {
  ASSERT_EQ(mdf::GetVciCode("CP_P2Max"), kP2MaxCode);
  for (const char* p : {"ISO_15765_3_on_ISO_15765_2", "ISO_14230_3_on_ISO_14230_2", "SAE_J2190_on_ISO_9141_2"}) {
    auto h = Make(p);
    SetU32(*h, "CP_P2Max", 50000);
    h->parseComparam();
    EXPECT_EQ(BlockWord(*h, 0), 0u) << p;
    EXPECT_EQ(PairsOf(*h), (Pairs{{kP2MaxCode, 50000}})) << p;
  }
}

// The protocol's list fixes the order, not the order of setting; names
// without a VCI code take no pair and leave no gap.
TEST_F(ParseComparam, PairsFollowTheProtocolsListInOrder) {
  struct Row {
    const char* protocol;
    std::vector<const char*> list;
  };
  const Row rows[] = {
      {"ISO_15765_3_on_ISO_15765_2",
       {"CP_BlockSize", "CP_CanFillerByteHandling", "CP_CanFillerByte", "CP_CanFuncReqExtAddr", "CP_CanFuncReqFormat",
        "CP_CanFuncReqId", "CP_CanPhysReqExtAddr", "CP_CanPhysReqFormat", "CP_CanPhysReqId", "CP_CanRespUSDTExtAddr",
        "CP_CanRespUUDTFormat", "CP_CanRespUSDTId", "CP_RequestAddrMode", "CP_Baudrate", "CP_P2Max"}},
      {"ISO_14230_3_on_ISO_14230_2",
       {"CP_BlockSize", "CP_TIdle", "CP_TInil", "CP_TWup", "CP_W1Max", "CP_W2Max", "CP_W3Max", "CP_W4Max", "CP_W4Min",
        "CP_P1Max", "CP_P2Max", "CP_P3Min", "CP_P4Min"}},
      {"SAE_J2190_on_ISO_9141_2",
       {"CP_Baudrate", "CP_P2Max", "CP_P1Max", "CP_P4Min", "CP_TIdle", "CP_TInil", "CP_TWup", "CP_W4Min"}},
  };
  for (const Row& r : rows) {
    auto h = Make(r.protocol);
    Pairs expected;
    // Set in reverse order, each with its own value.
    for (size_t i = r.list.size(); i-- > 0;) SetU32(*h, r.list[i], 100 + static_cast<uint32_t>(i));
    for (size_t i = 0; i < r.list.size(); ++i) {
      uint32_t code = mdf::GetVciCode(r.list[i]);
      if (code != mdf::kNoVciCode) expected.emplace_back(code, 100 + static_cast<uint32_t>(i));
    }
    ASSERT_FALSE(expected.empty()) << r.protocol;
    h->parseComparam();
    EXPECT_EQ(PairsOf(*h), expected) << r.protocol;
  }
}

TEST_F(ParseComparam, Iso9141WithP2MaxAndTIdleGivesTwoPairsP2MaxFirst) {
  ASSERT_EQ(mdf::GetVciCode("CP_TIdle"), kTIdleCode);
  auto h = Make("SAE_J2190_on_ISO_9141_2");
  SetU32(*h, "CP_TIdle", 300000);
  SetU32(*h, "CP_P2Max", 50000);
  h->parseComparam();
  EXPECT_EQ(PairsOf(*h), (Pairs{{kP2MaxCode, 50000}, {kTIdleCode, 300000}}));
}

// A second run after the link lost CP_TIdle: ISO 14230 keeps the old value
// (no pair), ISO 9141 starts from zero.
struct Iso14230Probe : ZPDUISO14230ProtocolHandling {
  using ZPDUISO14230ProtocolHandling::TIdle;
};
struct Iso9141Probe : ZPDUISO9141ProtocolHandling {
  using ZPDUISO9141ProtocolHandling::TIdle;
};

TEST_F(ParseComparam, Iso14230KeepsAnOldValueIso9141ClearsIt) {
  Iso14230Probe kwp;
  Iso9141Probe iso9141;
  for (ZPDUProtocolHandling* h :
       {static_cast<ZPDUProtocolHandling*>(&kwp), static_cast<ZPDUProtocolHandling*>(&iso9141)}) {
    SetU32(*h, "CP_TIdle", 300000);
    SetU32(*h, "CP_P2Max", 50000);
    h->parseComparam();
  }
  EXPECT_EQ(kwp.TIdle, 300000u);
  EXPECT_EQ(iso9141.TIdle, 300000u);

  LoadMdf(home_, MdfWithComParams({"CP_TIdle"}));
  kwp.parseComparam();
  iso9141.parseComparam();
  EXPECT_EQ(kwp.TIdle, 300000u);
  EXPECT_EQ(iso9141.TIdle, 0u);
  EXPECT_EQ(PairsOf(kwp), (Pairs{{kP2MaxCode, 50000}}));
  EXPECT_EQ(PairsOf(iso9141), (Pairs{{kP2MaxCode, 50000}}));
}

// Other buses: the first word counts the pairs where the class keeps a
// count; ComParams on the link change nothing.
TEST_F(ParseComparam, OtherBusBlocks) {
  struct Row {
    const char* protocol;
    uint32_t count;
    Pairs pairs;
  };
  const Row rows[] = {
      {"ISO_11898_RAW", 1, {{0x100, 0}}},
      {"SAE_J2190_on_SAE_J1850_PWM", 1, {{3, 0}}},
      {"ISO_15031_5_on_SAE_J1850_VPW", 1, {{3, 0}}},
      {"SAE_J2190_on_SAE_J1850_VPW", 1, {{3, 0}}},
      {"KW71_on_KW_UART", 1, {}},  // its one pair stays all zero
      {"SAE_J1587_on_SAE_J1708", 0, {}},
      {"SAE_J1939_73_on_SAE_J1939_21", 0, {}},
      {"SAE_J2610_on_SAE_J2610_SCI", 0, {}},
      {"KW81_on_KW_UART", 0, {}},
      {"MSP_KW1281_on_TP16", 0, {}},
      {"MSP_VW2000LP_on_TP16", 0, {}},
  };
  for (const Row& r : rows) {
    auto h = Make(r.protocol);
    SetU32(*h, "CP_P2Max", 50000);
    SetU32(*h, "CP_Baudrate", 500000);
    h->parseComparam();
    h->parseComparam();  // a second run rebuilds, it does not append
    EXPECT_EQ(BlockWord(*h, 0), r.count) << r.protocol;
    EXPECT_EQ(PairsOf(*h), r.pairs) << r.protocol;
  }
}

TEST_F(ParseComparam, RawCanBlockBytes) {
  auto h = Make("ISO_11898_RAW");
  h->parseComparam();
  const std::vector<uint8_t> head(h->paramBlock().begin(), h->paramBlock().begin() + 12);
  EXPECT_EQ(head, (std::vector<uint8_t>{0x01, 0, 0, 0, 0x00, 0x01, 0, 0, 0, 0, 0, 0}));
  PairsOf(*h);  // the rest is zero
}

// The TP2.0 set-up identifier has no VCI code: it takes no pair but still
// becomes the request identifier.
TEST_F(ParseComparam, Tp20ReadsOnlyTheSetupIdentifier) {
  auto h = Make("MSP_VW2000LP_on_TP20");
  SetU32(*h, "CPM_VWTP_PhysReqIdSetup", 0x200);
  SetU32(*h, "CP_P2Max", 50000);
  h->parseComparam();
  Pairs expected;
  if (uint32_t code = mdf::GetVciCode("CPM_VWTP_PhysReqIdSetup"); code != mdf::kNoVciCode) {
    expected.emplace_back(code, 0x200);
  }
  EXPECT_EQ(PairsOf(*h), expected);
}

TEST_F(ParseComparam, LogLines) {
  OpenLog();
  auto can = Make("ISO_15765_3_on_ISO_15765_2");
  SetU32(*can, "CP_P2Max", 50000);
  can->parseComparam();
  auto tp20 = Make("MSP_VW2000LP_on_TP20");
  tp20->parseComparam();
  std::string text = MainLog();
  EXPECT_NE(text.find("--------ISO15765------------1\n----------------------------1\n"
                      "szShortName = CP_P2Max value = 50000\n"
                      "paramblock = 00 00 00 00 0F 00 00 00 50 C3 00 00\n"
                      "15765 paras end\n15765 paras end1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("create TP2.0\ntp20 parse\nparamblock = 00 00 00 00\ntp20 end\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace pdu::protocol::test
