// The simulated ECUs and the scenario parser of vcisim.
#include <gtest/gtest.h>

#include "Scenario.h"
#include "SimEcu.h"
#include "Hex.h"

namespace vcisim {
namespace {

using Texts = std::vector<std::string>;

Texts Answers(const std::vector<EcuReply>& replies) {
  Texts out;
  for (const EcuReply& r : replies) out.push_back(HexSpaced(r.data));
  return out;
}

Texts Ask(SimEcu& ecu, const char* request, bool functional = false) {
  return Answers(ecu.Handle(H(request), functional));
}

EcuConfig UdsEcu() {
  EcuConfig e;
  e.name = "engine";
  e.dataIds[0xF190] = Bytes{'V', 'I', 'N'};
  e.dataIds[0xF18C] = Bytes{'S', 'N'};
  e.dtcs = {{0x0301, 0x00, 0x2F}, {0x0420, 0x00, 0x08}};
  e.routines[0x0203] = Routine{2, 300, H("00")};
  return e;
}

TEST(SimEcu, AnswersBuiltInUdsServices) {
  struct Case { const char* request; Texts answers; bool functional = false; } cases[] = {
      {"10 03", {"50 03 00 32 01 F4"}},
      {"10 83", {}},  // suppress bit: no positive answer
      {"22 F1 90", {"62 F1 90 56 49 4E"}}, {"22 F1 90 F1 8C", {"62 F1 90 56 49 4E F1 8C 53 4E"}},
      {"22 12 34", {"7F 22 31"}}, {"22 F1", {"7F 22 13"}}, {"19 01 08", {"59 01 FF 01 00 02"}},
      {"19 02 20", {"59 02 FF 03 01 00 2F"}}, {"3E 00", {"7E 00"}}, {"3E 80", {}}, {"AA", {"7F AA 11"}},
      // Functional requests keep quiet about what the ECU does not support.
      {"22 12 34", {}, true}, {"AA", {}, true}, {"3E 00", {"7E 00"}, true},
  };
  for (const Case& c : cases) {
    SimEcu ecu(UdsEcu());
    EXPECT_EQ(Ask(ecu, c.request, c.functional), c.answers) << c.request << (c.functional ? " (functional)" : "");
  }
}

TEST(SimEcu, ClearsDtcsAndReportsNoneAfterwards) {
  SimEcu ecu(UdsEcu());
  EXPECT_EQ(Ask(ecu, "14 FF FF FF"), Texts{"54"});
  EXPECT_EQ(Ask(ecu, "19 02 FF"), Texts{"59 02 FF"});
}

TEST(SimEcu, SecurityAccessChecksTheKeyOfTheFixedAlgorithm) {
  EXPECT_EQ(KeyFromSeed(0x11223344), 0xD3B4591Cu);
  SimEcu ecu(UdsEcu());
  EXPECT_EQ(Ask(ecu, "27 02 00 00 00 00"), Texts{"7F 27 24"});
  EXPECT_EQ(Ask(ecu, "27 01"), Texts{"67 01 11 22 33 44"});
  EXPECT_EQ(Ask(ecu, "27 02 00 00 00 01"), Texts{"7F 27 35"});
  Ask(ecu, "27 01");
  EXPECT_EQ(Ask(ecu, "27 02 D3 B4 59 1C"), Texts{"67 02"});
  // Unlocked: a zero seed, and writing is allowed.
  EXPECT_EQ(Ask(ecu, "27 01"), Texts{"67 01 00 00 00 00"});
  EXPECT_EQ(Ask(ecu, "2E F1 8C 41"), Texts{"6E F1 8C"});
  EXPECT_EQ(Ask(ecu, "22 F1 8C"), Texts{"62 F1 8C 41"});
}

TEST(SimEcu, RoutineSendsResponsePendingBeforeItsResult) {
  SimEcu ecu(UdsEcu());
  auto replies = ecu.Handle(H("31 01 02 03"), false);
  EXPECT_EQ(Answers(replies), (Texts{"7F 31 78", "7F 31 78", "71 01 02 03 00"}));
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].delayMs, 10u);   // the ECU's reaction time
  EXPECT_EQ(replies[1].delayMs, 300u);  // then the routine's interval
  EXPECT_EQ(replies[2].delayMs, 300u);
  EXPECT_EQ(Ask(ecu, "31 01 99 99"), Texts{"7F 31 31"});
}

TEST(SimEcu, RulesAreBusyOrPendingAndMatchByPrefix) {
  EcuConfig e = UdsEcu();
  RequestRule busy;
  busy.request = H("22 F1 99");
  busy.busy = 2;
  busy.busyLeft = 2;
  busy.replies = {{H("62 F1 99 01"), 5}};
  RequestRule pending;
  pending.request = H("31 01 FF");
  pending.prefix = true;
  pending.pending = 1;
  pending.pendingIntervalMs = 200;
  pending.replies = {{H("71 01 FF 00"), 0}};
  e.rules = {busy, pending};
  SimEcu ecu(e);
  // Busy twice, the answer, and busy again the next time.
  for (const char* answer : {"7F 22 21", "7F 22 21", "62 F1 99 01", "7F 22 21"}) {
    EXPECT_EQ(Ask(ecu, "22 F1 99"), Texts{answer});
  }
  auto replies = ecu.Handle(H("31 01 FF 00 01"), false);
  EXPECT_EQ(Answers(replies), (Texts{"7F 31 78", "71 01 FF 00"}));
  EXPECT_EQ(replies[1].delayMs, 200u);
}

TEST(SimEcu, AnswersKwpServices) {
  EcuConfig e;
  e.behaviour = EcuBehaviour::kKwp;
  e.bus = EcuBus::kKLine;
  e.identification[0x90] = Bytes{'V'};
  e.localIds[0x01] = H("0C 1F");
  e.dtcs = {{0x0118, 0, 0x24}};
  SimEcu ecu(e);
  struct Case { const char* request; const char* answer; } cases[] = {
      {"81", "C1 EF 8F"}, {"82", "C2"}, {"1A 90", "5A 90 56"}, {"1A 91", "7F 1A 31"},
      {"21 01", "61 01 0C 1F"}, {"18 02 FF 00", "58 01 01 18 24"}, {"3E", "7E"}, {"22 F1 90", "7F 22 11"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ask(ecu, c.request), Texts{c.answer}) << c.request;
  }
}

TEST(Scenario, ParsesEcusWithTheirDefaults) {
  std::string error;
  auto s = ParseScenario(R"({
    "name": "t", "vci": {"battery_mv": "13100"},
    "ecus": [
      {"name": "a", "request_id": "0x7E1", "vin": "ABC",
       "dtcs": ["P0301", {"code": "U0100", "failure_type": "0x87", "status": 9}, "10 20 03"],
       "requests": [{"request": "22 F1 99", "busy": 1, "responses": ["62 F1 99", {"data": "ascii:x", "delay_ms": 7}]}]},
      {"name": "k", "bus": "kline", "address": 17, "functional_id": null, "serial": "S1"}
    ]})",
                         error);
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->vci.batteryMv, 13100u);
  ASSERT_EQ(s->ecus.size(), 2u);
  const EcuConfig& a = s->ecus[0];
  EXPECT_EQ(a.requestId, 0x7E1u);
  EXPECT_EQ(a.responseId, 0x7E9u);  // request id + 8
  EXPECT_EQ(a.dataIds.at(0xF190), (Bytes{'A', 'B', 'C'}));
  ASSERT_EQ(a.dtcs.size(), 3u);
  EXPECT_EQ(a.dtcs[0].code, 0x0301);
  EXPECT_EQ(a.dtcs[1].code, 0xC100);  // U = 11 in the top bits
  EXPECT_EQ(a.dtcs[1].failureType, 0x87);
  EXPECT_EQ(a.dtcs[2].code, 0x1020);
  EXPECT_EQ(a.dtcs[2].failureType, 0x03);
  ASSERT_EQ(a.rules.size(), 1u);
  EXPECT_EQ(a.rules[0].busyLeft, 1u);
  EXPECT_EQ(a.rules[0].replies[1].data, Bytes{'x'});
  EXPECT_EQ(a.rules[0].replies[1].delayMs, 7u);
  const EcuConfig& k = s->ecus[1];
  EXPECT_EQ(k.bus, EcuBus::kKLine);
  EXPECT_EQ(k.behaviour, EcuBehaviour::kKwp);
  EXPECT_EQ(k.address, 17u);
  EXPECT_FALSE(k.functionalId.has_value());
  EXPECT_EQ(k.identification.at(0x8C), (Bytes{'S', '1'}));
}

}  // namespace
}  // namespace vcisim
