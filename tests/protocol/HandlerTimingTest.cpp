// The waits every handler class gives the engine: before any answer, after
// a normal answer, after a response-pending answer, and after UPDATEPARAM
// took CP_P2Max / CP_P2Star from the link.

#include "HandlerTestSupport.h"

namespace pdu::protocol::test {
namespace {

// The base handler and the handlers that keep its behaviour.
const char* const kBaseFamily[] = {
    "KW81_on_KW_UART",
    "KW82_on_KW_UART",
    "KW71_on_KW_UART",
    "ISO_11898_RAW",
    "SAE_J2190_on_SAE_J1850_PWM",
    "SAE_J2190_on_SAE_J1850_VPW",
    "SAE_J1587_on_SAE_J1708",
    "SAE_J1939_73_on_SAE_J1939_21",
    "SAE_J2610_on_SAE_J2610_SCI",
};

struct TimingCase {
  const char* protocol;
  bool identifierInFront;        // answers carry a 4-byte CAN identifier
  uint32_t start;                // getStartTimeout
  uint32_t firstDefault;         // first getDefaultTimeout of a new handler
  uint32_t afterNormal;          // after an answer without 7F
  uint32_t afterPending;         // after 7F xx 78
  const char* startLine;         // main log line of getStartTimeout
  const char* firstDefaultLine;  // main log line of the first getDefaultTimeout
};

std::vector<TimingCase> Cases() {
  std::vector<TimingCase> cases = {
      {"ISO_15765_3_on_ISO_15765_2", true, 2000, 3000, 3000, 3000, "starttimeout = 2000", "defaulttimeout = 3000"},
      {"ISO_14230_3_on_ISO_14230_2", false, 9000, 3000, 2000, 2000, "14230 starttimeout = 9000",
       "14230 defaluttimeout = 3000"},
      {"ISO_14229_5_on_ISO_13400_2", false, 9000, 3000, 2000, 2000, "14230 starttimeout = 9000",
       "14230 defaluttimeout = 3000"},
      {"MSP_VW2000LP_on_TP20", true, 6000, 3000, 3000, 3000, "TP20 starttimeout = 6000", "TP20 defaluttimeout = 3000"},
      {"SAE_J2190_on_ISO_9141_2", false, 9000, 2000, 2000, 2000, "9141 starttimeout = 9000",
       "9141 defaulttimeout = 2000"},
      {"MSP_KW1281_on_ISO_9141_2", false, 9000, 2000, 2000, 2000, "9141 starttimeout = 9000",
       "9141 defaulttimeout = 2000"},
      {"MSP_KW1281_on_TP16", true, 6000, 3000, 2000, 2000, "KW1281 starttimeout = 6000",
       "KW1281 defaluttimeout = 3000"},
      {"MSP_VW2000LP_on_TP16", true, 6000, 3000, 2000, 2000, "KW2000 starttimeout = 6000",
       "KW2000 defaluttimeout = 3000"},
  };
  // Base: +200 per wait; P2 after an answer; the pending wait is 0 until
  // CP_P2Star has been applied.
  for (const char* p : kBaseFamily) {
    cases.push_back({p, false, 2000, 2200, 2200, 200, "starttimeout = 2000", "defaulttimeout = 2200"});
  }
  return cases;
}

std::vector<uint8_t> Answer(bool identifierInFront, std::vector<uint8_t> payload) {
  return Record(identifierInFront ? Concat({0xE8, 0x07, 0x00, 0x00}, payload) : payload);
}

using HandlerTiming = HandlerTest;

TEST_F(HandlerTiming, WaitAfterNormalAndPendingAnswers) {
  for (const TimingCase& c : Cases()) {
    auto h = Make(c.protocol);
    ResultDataPtr result;
    ASSERT_EQ(Parse(*h, Answer(c.identifierInFront, {0x62, 0xF1, 0x90}), result), ResponseClass::kFinal);
    EXPECT_EQ(h->getDefaultTimeout(), c.afterNormal) << c.protocol;
    ASSERT_EQ(Parse(*h, Answer(c.identifierInFront, {0x7F, 0x22, 0x78}), result), ResponseClass::kPending);
    EXPECT_EQ(h->getDefaultTimeout(), c.afterPending) << c.protocol;
  }
}

// The first waits of a new handler and the log lines that name its class.
// (A second wait without an answer between: the defaults column of
// tests/engine/EngineWaitsTest.cpp, through the engine.)
TEST_F(HandlerTiming, InitialWaitsAndTheirLogLinesPerClass) {
  OpenLog();
  for (const TimingCase& c : Cases()) {
    auto h = Make(c.protocol);
    EXPECT_EQ(h->getStartTimeout(), c.start) << c.protocol;
    EXPECT_EQ(h->getStartTimeout(), c.start) << c.protocol << " (start waits do not grow)";
    EXPECT_EQ(h->getDefaultTimeout(), c.firstDefault) << c.protocol;
    std::string text = MainLog();
    EXPECT_NE(text.find(std::string(c.startLine) + "\n"), std::string::npos) << c.protocol;
    EXPECT_NE(text.find(std::string(c.firstDefaultLine) + "\n"), std::string::npos) << c.protocol;
  }
}

// The wait of a SENDRECV without answer before and after UPDATEPARAM is
// asserted through the engine, per class, in tests/engine/EngineWaitsTest.cpp.

// After answers: P2 and P2* of the link reach every class at UPDATEPARAM
// (the base classes from the link's items, the others from the variable
// map); short values stay at the initial waits, long ones count.
TEST_F(HandlerTiming, UpdateParamWaitsAfterAnswers) {
  struct Row {
    const char* protocol;
    bool identifierInFront;
    uint32_t shortNormal, shortPending;  // CP_P2Max 50 ms, CP_P2Star 150 ms
    uint32_t longNormal, longPending;    // CP_P2Max 5000 ms, CP_P2Star 6000 ms
  };
  std::vector<Row> rows = {
      {"ISO_15765_3_on_ISO_15765_2", true, 3000, 3000, 6000, 6000},  // P2 + 1000, whatever came before
      {"ISO_14230_3_on_ISO_14230_2", false, 2000, 2000, 5000, 6000},
      {"MSP_VW2000LP_on_TP20", true, 3000, 3000, 6000, 6000},
      {"SAE_J2190_on_ISO_9141_2", false, 2000, 2000, 5000, 6000}, {"MSP_KW1281_on_TP16", true, 2000, 2000, 5000, 6000},
      {"MSP_VW2000LP_on_TP16", true, 2000, 2000, 5000, 6000},
  };
  // The base's pending wait starts at 0, so a short P2* still counts there.
  for (const char* p : kBaseFamily) rows.push_back({p, false, 2200, 350, 5200, 6200});

  for (const Row& r : rows) {
    for (bool longValues : {false, true}) {
      auto h = Make(r.protocol);
      SetU32(*h, "CP_P2Max", longValues ? 5000000 : 50000);
      SetU32(*h, "CP_P2Star", longValues ? 6000000 : 150000);
      UpdateParam(*h);
      ResultDataPtr result;
      Parse(*h, Answer(r.identifierInFront, {0x50, 0x03}), result);
      EXPECT_EQ(h->getDefaultTimeout(), longValues ? r.longNormal : r.shortNormal) << r.protocol;
      Parse(*h, Answer(r.identifierInFront, {0x7F, 0x10, 0x78}), result);
      EXPECT_EQ(h->getDefaultTimeout(), longValues ? r.longPending : r.shortPending) << r.protocol;
    }
  }
}

// Only what the link carries at UPDATEPARAM counts: a value set after it
// waits for the next one, and clearComparam_var (link creation) forgets
// what was set before.
TEST_F(HandlerTiming, SnapshotIsTakenAtUpdateParam) {
  auto h = Make("ISO_14230_3_on_ISO_14230_2");
  SetU32(*h, "CP_P2Max", 2500000);
  UpdateParam(*h);
  SetU32(*h, "CP_P2Max", 4000000);
  ResultDataPtr result;
  Parse(*h, Record({0x50, 0x81}), result);
  EXPECT_EQ(h->getDefaultTimeout(), 2500u);
  UpdateParam(*h);
  Parse(*h, Record({0x50, 0x81}), result);
  EXPECT_EQ(h->getDefaultTimeout(), 4000u);

  auto fresh = Make("ISO_14230_3_on_ISO_14230_2");
  SetU32(*fresh, "CP_P2Max", 2500000);
  fresh->clearComparam_var();
  UpdateParam(*fresh);
  Parse(*fresh, Record({0x50, 0x81}), result);
  EXPECT_EQ(fresh->getDefaultTimeout(), 2000u);
}

}  // namespace
}  // namespace pdu::protocol::test
