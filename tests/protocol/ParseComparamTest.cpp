// The ParamBlock each class builds from the link's ComParams. The whole
// block of a connect, pairs in the order of the protocol's list with
// literal codes, and its log lines are in the golden transcripts: prologue
// (ISO 15765), link-iso14230, link-iso9141, link-raw-can, link-j1850-vpw,
// link-tp20.

#include "HandlerTestSupport.h"
#include "protocol/ZPDUISO14230ProtocolHandling.h"
#include "protocol/ZPDUISO9141ProtocolHandling.h"

namespace pdu::protocol::test {
namespace {

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;
constexpr uint32_t kP2MaxCode = 15;

using ParseComparam = HandlerTest;

TEST_F(ParseComparam, OnlyP2MaxGivesOnePairAtByteFour) {
  for (const char* p : {"ISO_15765_3_on_ISO_15765_2", "ISO_14230_3_on_ISO_14230_2", "SAE_J2190_on_ISO_9141_2"}) {
    auto h = Make(p);
    SetU32(*h, "CP_P2Max", 50000);
    h->parseComparam();
    EXPECT_EQ(BlockWord(*h, 0), 0u) << p;
    EXPECT_EQ(PairsOf(*h), (Pairs{{kP2MaxCode, 50000}})) << p;
  }
}

// A second run after the link lost CP_TIdle: ISO 14230 keeps the old value
// (no pair), ISO 9141 starts from zero.
struct Iso14230Probe : ZPDUISO14230ProtocolHandling { using ZPDUISO14230ProtocolHandling::TIdle; };
struct Iso9141Probe : ZPDUISO9141ProtocolHandling { using ZPDUISO9141ProtocolHandling::TIdle; };

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
  struct Row { const char* protocol; uint32_t count; Pairs pairs; };
  const Row rows[] = {
      {"ISO_11898_RAW", 1, {{0x100, 0}}},
      {"SAE_J2190_on_SAE_J1850_PWM", 1, {{3, 0}}},
      {"ISO_15031_5_on_SAE_J1850_VPW", 1, {{3, 0}}},
      {"SAE_J2190_on_SAE_J1850_VPW", 1, {{3, 0}}},
      {"KW71_on_KW_UART", 1, {}},  // its one pair stays all zero
      {"SAE_J1587_on_SAE_J1708", 0, {}}, {"SAE_J1939_73_on_SAE_J1939_21", 0, {}}, {"SAE_J2610_on_SAE_J2610_SCI", 0, {}},
      {"KW81_on_KW_UART", 0, {}}, {"MSP_KW1281_on_TP16", 0, {}}, {"MSP_VW2000LP_on_TP16", 0, {}},
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

}  // namespace
}  // namespace pdu::protocol::test
