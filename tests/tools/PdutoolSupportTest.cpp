// pdutool's support pieces without a VCI: the decode-log pairing of data
// log lines with their calls across sessions and a killed client, the line
// accounting, and the candump lines of --trace and monitor.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "LogDecoder.h"
#include "TraceFile.h"

namespace pdutool {
namespace {

using nlohmann::json;

std::string Text(const json& entry) { return entry["text"]; }

std::vector<json> Entries(const json& doc, const std::string& kind) {
  std::vector<json> out;
  for (const json& e : doc["entries"])
    if (e["kind"] == kind) out.push_back(e);
  return out;
}

std::vector<std::string> Texts(const json& doc, const std::string& kind) {
  std::vector<std::string> out;
  for (const json& e : Entries(doc, kind)) out.push_back(Text(e));
  return out;
}

#define EXPECT_HAS(entry, text) EXPECT_PRED_FORMAT2(::testing::IsSubstring, text, Text(entry))

// Session 1 hands out two items, its client dies inside the second
// PDUGetEventItem (its data line was written, the call's end line not);
// session 2 finds no VCI. A stray data line of an earlier killed client
// leads the data log.
const std::vector<std::string> kMain = {
    "PDUConstruct 1000",
    "low latency not offered by /dev/ttyUSB0: received bytes may wait for the adapter's timer",
    "PDUConstruct  <PDU_STATUS_NOERROR> 1500",
    "PDUGetEventItem 1600",
    "\thCLL = 1",
    "\t\thCoP=2",
    "\t\tItemType = PDU_IT_RESULT",
    "queue size1 = 0",
    "PDUGetEventItem  <PDU_STATUS_NOERROR> 1601",
    "PDUGetEventItem 1700",
    "\thCLL = 1",
    "\t\thCoP=3",
    "\t\tItemType = PDU_IT_ERROR",
    "\t\t\tErrorCode = 259",
    "\t\t\tErrorInfoId = 24",
    "PDUConstruct 5000",
    "port /dev/ttyUSB0 skipped: busy, another program holds it (open error 16)",
    "Can't find comm",
};
const std::vector<std::string> kData = {
    ">>>[1  9] status = result",
    ">>>[1  2] status = result",
    ">>>[1  3] status = error",
};
const std::vector<std::string> kContact = {
    "1501 >>>>>>>>>: 7E 0A 00 31 01 01 12 01 00 00 50 7E",
    "garbage",
};

// The three logs above as one --json document; tick 5000 (the largest) is
// 1700000000.000 s on the wall clock.
json Decode(DecodeFilter filter, const std::vector<std::string>& main = kMain,
            const std::vector<std::string>& data = kData, const std::vector<std::string>& contact = kContact) {
  filter.json = true;
  LogDecoder decoder(filter);
  decoder.SetAnchor(1.7e12);
  decoder.Feed(main, data, contact, true);
  return decoder.Document();
}

TEST(PdutoolDecodeLog, PairsAcrossSessionsAndKilledClients) {
  const json doc = Decode({});

  const std::vector<json> calls = Entries(doc, "call");
  const std::vector<json> events = Entries(doc, "event");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_HAS(calls[1], "PDUGetEventItem hCLL=1 item hCoP=2 ItemType=PDU_IT_RESULT -> PDU_STATUS_NOERROR (1 ms)");
  EXPECT_HAS(calls[2], "ErrorCode=0x103 (PDU_ERR_EVT_RX_TIMEOUT) ErrorInfoId=24 (0x18) -> (no end in the log)");
  EXPECT_HAS(calls[3], "PDUConstruct -> (no end in the log)");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_HAS(events[0], "event >>>[1  2] status = result");
  EXPECT_HAS(events[1], "event >>>[1  3] status = error");
  EXPECT_EQ(events[1]["session"], 1);

  const std::vector<std::string> wantVerbatim = {
      "              | contact log: garbage",
      "              | low latency not offered by /dev/ttyUSB0: received bytes may wait for the adapter's timer",
      "              | data log, no call of its own: >>>[1  9] status = result",
      "              | port /dev/ttyUSB0 skipped: busy, another program holds it (open error 16)",
      "              | Can't find comm",
  };
  EXPECT_EQ(Texts(doc, "verbatim"), wantVerbatim);

  ASSERT_EQ(doc["sessions"].size(), 2u);
  EXPECT_EQ(doc["sessions"][0]["port"], "/dev/ttyUSB0");
  EXPECT_EQ(doc["sessions"][0]["errors"], 1);
  EXPECT_EQ(doc["sessions"][0]["durationMs"], 700);
  EXPECT_EQ(doc["sessions"][1]["vciFound"], false);
  EXPECT_TRUE(doc["sessions"][1]["port"].is_null());
  // Every line: 18 main, 3 data, 2 contact.
  const json& lines = doc["lines"];
  EXPECT_EQ(lines["main"], 18);
  EXPECT_EQ(lines["data"], 3);
  EXPECT_EQ(lines["contact"], 2);
  EXPECT_EQ(lines["folded"], 1);  // "queue size1 = 0"
  EXPECT_EQ(lines["decoded"].get<int>() + lines["verbatim"].get<int>() + lines["folded"].get<int>(), 23);
}

TEST(PdutoolDecodeLog, SessionAndSinceFiltersLeaveOutSession1) {
  DecodeFilter bySession;
  bySession.session = 2;
  // Anchor: tick 5000 (the largest) is 1700000000.000 s; tick 4000 is one
  // second earlier, between session 1 (ticks 1000-1700) and session 2.
  std::time_t at = 1699999999;
  std::tm local{};
  localtime_r(&at, &local);
  DecodeFilter bySince;
  bySince.sinceMs = ((local.tm_hour * 60L + local.tm_min) * 60L + local.tm_sec) * 1000L;
  for (const DecodeFilter& filter : {bySession, bySince}) {
    const json doc = Decode(filter);
    for (const json& e : doc["entries"]) EXPECT_EQ(e["session"], 2) << e;
    ASSERT_EQ(Entries(doc, "session").size(), 1u);
    EXPECT_EQ(Entries(doc, "summary").size(), 1u);
    EXPECT_EQ(Entries(doc, "call").size(), 1u);
    EXPECT_EQ(doc["entries"][0]["kind"], "session");
  }
  // A line outside any call has no tick of its own: it is as late as the
  // line before it (5001), not dated by the absent tick (the boot's time).
  const std::vector<std::string> late = {"PDUConstruct 5000", "PDUConstruct  <PDU_STATUS_NOERROR> 5001",
                                         "Can't find comm"};
  EXPECT_EQ(Texts(Decode(bySince, late, {}, {}), "verbatim"),
            std::vector<std::string>{"              | Can't find comm"});
  // --session also leaves the other sessions out of the list of sessions.
  const json sessions = Decode(bySession)["sessions"];
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]["number"], 2);
}

// A client killed with its request open; two processes constructing 2 ms
// apart (one PDUConstruct inside the other's, two PDUDestructs); the
// receive thread's lines folded into one count for their ComPrimitive,
// its resynchronisation line still shown.
TEST(PdutoolDecodeLog, KilledClientTwoProcessesAndReceivePath) {
  const std::vector<std::string> main = {
      "PDUConstruct 1000",
      "PDUStartComPrimitive 1100",
      "\thCLL = 1",
      "\t\t*phCoP = 4",
      "PDUStartComPrimitive  <PDU_STATUS_NOERROR> 1101",
      "recv end",
      "reg = 0",
      "recv resync, 3 bytes dropped",
      "PDUConstruct 2000",
      "PDUConstruct 2002",
      "PDUConstruct  <PDU_STATUS_NOERROR> 2500",
      "PDUDestruct 3000",
      "PDUDestruct  <PDU_STATUS_NOERROR> 3001",
      "PDUDestruct 3002",
  };
  const json doc = Decode({}, main, {}, {});
  const json& s = doc["sessions"];
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0]["destructed"], false);
  EXPECT_EQ(s[0]["twoProcesses"], false);
  EXPECT_PRED_FORMAT2(::testing::IsSubstring, " hCLL=1 phCoP=4 at ", s[0]["openRequest"].get<std::string>());
  EXPECT_EQ(s[1]["twoProcesses"], true);
  EXPECT_EQ(s[2]["twoProcesses"], true);
  EXPECT_EQ(s[2]["destructed"], true);
  const std::vector<std::string> wantVerbatim = {
      "              | recv resync, 3 bytes dropped",
      "              . receive path: 2 line(s) folded, 1 frame(s) received (hCoP 4) (--verbose shows them)",
  };
  EXPECT_EQ(Texts(doc, "verbatim"), wantVerbatim);
  const std::vector<json> summaries = Entries(doc, "summary");
  ASSERT_EQ(summaries.size(), 3u);
  EXPECT_HAS(summaries[0], "; it ended without PDUDestruct (its client was killed or crashed), its last request "
                           "still open: PDUStartComPrimitive hCLL=1 phCoP=4 at ");
  EXPECT_HAS(summaries[2], "; two processes wrote this log");
  EXPECT_EQ(doc["lines"]["folded"], 2);
}

// A callback's PDUGetEventItem runs inside another call (a link-status
// callback under PDUConnect): both calls keep their own end and the item's
// data line stays under the item call.
TEST(PdutoolDecodeLog, ItemCallInsideAnotherCallKeepsBothEnds) {
  const std::vector<std::string> main = {
      "PDUConstruct 1000",
      "PDUConstruct  <PDU_STATUS_NOERROR> 1001",
      "PDUConnect 1100",
      "\thCLL = 1",
      "PDUGetEventItem 1102",
      "\thCLL = 1",
      "\t\tItemType = PDU_IT_STATUS",
      "PDUGetEventItem  <PDU_STATUS_NOERROR> 1103",
      "PDUConnect  <PDU_STATUS_NOERROR> 1105",
  };
  const json doc = Decode({}, main, {">>>[1  0] status = PDU_CLLST_ONLINE"}, {});
  const std::vector<std::string> calls = Texts(doc, "call");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_NE(calls[1].find("PDUGetEventItem hCLL=1 ItemType=PDU_IT_STATUS -> PDU_STATUS_NOERROR (1 ms)"),
            std::string::npos) << calls[1];
  EXPECT_NE(calls[2].find("PDUConnect hCLL=1 -> PDU_STATUS_NOERROR (5 ms)"), std::string::npos) << calls[2];
  ASSERT_EQ(Texts(doc, "event").size(), 1u);
  EXPECT_NE(Texts(doc, "event")[0].find("event >>>[1  0] status = PDU_CLLST_ONLINE"), std::string::npos);
}

// A raw resource's bytes (identifier word, data) as candump lines: the
// frame's own identifier and data, never the word inside the data.
TEST(PdutoolCandump, RawFrameLines) {
  const struct { std::vector<uint8_t> raw; const char* direction; const char* line; } cases[] = {
      {{0x10, 0x07, 0x00, 0x00, 0x02, 0x10, 0x03}, "T", "(1765041234.123456) link1 710#021003 T"},
      {{0x18, 0x07, 0x00, 0x00, 0x06, 0x50, 0x03, 0x00, 0x32, 0x01, 0xF4, 0xAA}, "R",
       "(1765041234.123456) link1 718#065003003201F4AA R"},
      {{0xF1, 0x33, 0xDB, 0x98, 0x02, 0x01, 0x00}, nullptr, "(1765041234.123456) link1 18DB33F1#020100"},
      {{0x10, 0x00, 0x00, 0x80}, nullptr, "(1765041234.123456) link1 00000010#"},  // 29-bit below 0x800
      {{0xDF, 0x07, 0x00, 0x40}, "T", "(1765041234.123456) link1 7DF#R T"},
      {{0xA0, 0x01, 0x00, 0x00}, nullptr, "(1765041234.123456) link1 1A0#"},
  };
  for (const auto& c : cases) {
    CanFrame f;
    ASSERT_TRUE(DecodeRawFrame(c.raw.data(), c.raw.size(), f)) << c.line;
    EXPECT_EQ(TraceFile::Line(1765041234.123456, "link1", f, c.direction), c.line);
  }
}

}  // namespace
}  // namespace pdutool
