// How each handler class turns a received record into a result and a
// ResponseClass.

#include "HandlerTestSupport.h"

namespace pdu::protocol::test {
namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kCanId = {0xE8, 0x07, 0x00, 0x00};

// One class of answers per rule set, and a protocol that uses it.
enum class Family { kAllPositions, kKLine, kFirstOnly };

struct ClassRow { const char* protocol; Family family; bool identifierInFront; uint32_t timestampValue; };

const ClassRow kClasses[] = {
    {"KW81_on_KW_UART", Family::kAllPositions, false, 0xC0}, {"ISO_11898_RAW", Family::kAllPositions, false, 0xC0},
    {"SAE_J2190_on_SAE_J1850_VPW", Family::kAllPositions, false, 0xC0},
    {"SAE_J2610_on_SAE_J2610_SCI", Family::kAllPositions, false, 0xC0},
    {"ISO_14230_3_on_ISO_14230_2", Family::kKLine, false, 0xC0},
    {"SAE_J2190_on_ISO_9141_2", Family::kKLine, false, 0xC0},
    {"ISO_15765_3_on_ISO_15765_2", Family::kFirstOnly, true, 0xC0},
    {"MSP_VW2000LP_on_TP20", Family::kFirstOnly, true, 0}, {"MSP_KW1281_on_TP16", Family::kFirstOnly, true, 0xC0},
    {"MSP_VW2000LP_on_TP16", Family::kFirstOnly, true, 0xC0},
};

struct PatternRow {
  const char* what;
  Bytes payload;  // after the identifier, when the class has one
  ResponseClass allPositions;
  ResponseClass firstOnly;
};

const PatternRow kPatterns[] = {
    {"positive answer", {0x62, 0xF1, 0x90}, ResponseClass::kFinal, ResponseClass::kFinal},
    {"pending at start", {0x7F, 0x22, 0x78}, ResponseClass::kPending, ResponseClass::kPending},
    {"busy at start", {0x7F, 0x22, 0x21}, ResponseClass::kRepeat, ResponseClass::kRepeat},
    {"pending after 1-byte header", {0x03, 0x7F, 0x22, 0x78}, ResponseClass::kPending, ResponseClass::kFinal},
    {"pending after 3-byte header",
     {0x83, 0xF1, 0x10, 0x7F, 0x22, 0x78},
     ResponseClass::kPending,
     ResponseClass::kFinal},
    {"busy after 3-byte header", {0x83, 0xF1, 0x10, 0x7F, 0x22, 0x21}, ResponseClass::kRepeat, ResponseClass::kFinal},
    {"busy after 1-byte header", {0x03, 0x7F, 0x22, 0x21}, ResponseClass::kRepeat, ResponseClass::kFinal},
    // Both patterns: the repeat wins.
    {"pending at start, busy after 3 bytes",
     {0x7F, 0x22, 0x78, 0x7F, 0x22, 0x21},
     ResponseClass::kRepeat,
     ResponseClass::kPending},
    {"not a negative response", {0x5A, 0x1A, 0x21}, ResponseClass::kFinal, ResponseClass::kFinal},
    {"78 in the wrong place", {0x7F, 0x78, 0x22}, ResponseClass::kFinal, ResponseClass::kFinal},
};

using ParseResponse = HandlerTest;

TEST_F(ParseResponse, NegativeResponsePositionsPerClass) {
  for (const ClassRow& c : kClasses) {
    auto h = Make(c.protocol);
    for (const PatternRow& p : kPatterns) {
      Bytes data = c.identifierInFront ? Concat(kCanId, p.payload) : p.payload;
      ResultDataPtr result;
      ResponseClass expected = c.family == Family::kFirstOnly ? p.firstOnly : p.allPositions;
      EXPECT_EQ(Parse(*h, Record(data), result), expected) << c.protocol << ": " << p.what;
      EXPECT_EQ(DataOf(*result), p.payload) << c.protocol << ": " << p.what;
    }
  }
}

TEST_F(ParseResponse, ResultRecordPerClass) {
  for (const ClassRow& c : kClasses) {
    auto h = Make(c.protocol);
    Bytes payload = {0x62, 0xF1, 0x90, 0x57};
    Bytes data = c.identifierInFront ? Concat(kCanId, payload) : payload;
    ResultDataPtr result = MakeResultData();
    result->StartMsgTimestamp = 1234;  // the handler leaves it alone
    Bytes rec = Record(data, 0, 7, 0xA1B2C3D4);
    uint32_t flags = 99;
    ASSERT_EQ(h->parseResponse(rec.data(), static_cast<uint32_t>(rec.size()), &flags, result.get()),
              ResponseClass::kFinal);
    const PDU_RESULT_DATA& r = *result;
    SCOPED_TRACE(c.protocol);
    EXPECT_EQ(flags, 0u);
    ASSERT_EQ(r.RxFlag.NumFlagBytes, 4u);
    EXPECT_EQ(WordAt(r.RxFlag.pFlagData), 0xA1B2C3D4u);
    EXPECT_EQ(r.UniqueRespIdentifier, 7u);
    EXPECT_EQ(r.AcceptanceId, 0u);
    ASSERT_EQ(r.TimestampFlags.NumFlagBytes, 4u);
    EXPECT_EQ(WordAt(r.TimestampFlags.pFlagData), c.timestampValue);
    EXPECT_EQ(r.TxMsgDoneTimestamp, 0u);
    EXPECT_EQ(r.StartMsgTimestamp, 1234u);
    ASSERT_NE(r.pExtraInfo, nullptr);
    EXPECT_EQ(r.pExtraInfo->NumHeaderBytes, 0u);
    EXPECT_EQ(r.pExtraInfo->NumFooterBytes, 0u);
    EXPECT_EQ(r.pExtraInfo->pHeaderBytes, nullptr);
    EXPECT_EQ(DataOf(r), payload);
  }
}

// Status bit value 2: no result, whatever the data say.
TEST_F(ParseResponse, NoResultStatusGivesFinalWithoutData) {
  for (const ClassRow& c : kClasses) {
    auto h = Make(c.protocol);
    ResultDataPtr result;
    uint32_t flags = 0;
    Bytes data = Concat(kCanId, {0x7F, 0x22, 0x78});
    EXPECT_EQ(Parse(*h, Record(data, 0x02), result, &flags), ResponseClass::kFinal) << c.protocol;
    EXPECT_EQ(flags, 0x02u) << c.protocol;
    EXPECT_EQ(result->NumDataBytes, 0u) << c.protocol;
    EXPECT_EQ(result->pDataBytes, nullptr) << c.protocol;
    EXPECT_EQ(result->RxFlag.pFlagData, nullptr) << c.protocol;
  }
}

// Records too short to hold an answer: 19 bytes lack a word, 23 bytes lack
// part of the CAN identifier.
TEST_F(ParseResponse, ShortRecordsPerClass) {
  struct Row { const char* protocol; uint32_t length; ResponseClass expected; };
  const Row rows[] = {
      {"KW81_on_KW_UART", 19, ResponseClass::kFinal},  // the base does not look at the length
      {"KW81_on_KW_UART", 20, ResponseClass::kFinal}, {"ISO_14230_3_on_ISO_14230_2", 19, ResponseClass::kNoResult},
      {"ISO_14230_3_on_ISO_14230_2", 20, ResponseClass::kFinal},
      {"SAE_J2190_on_ISO_9141_2", 19, ResponseClass::kNoResult},
      {"ISO_15765_3_on_ISO_15765_2", 23, ResponseClass::kNoResult},
      {"ISO_15765_3_on_ISO_15765_2", 24, ResponseClass::kFinal}, {"MSP_VW2000LP_on_TP20", 23, ResponseClass::kNoResult},
      {"MSP_KW1281_on_TP16", 23, ResponseClass::kNoResult}, {"MSP_VW2000LP_on_TP16", 24, ResponseClass::kFinal},
  };
  for (const Row& r : rows) {
    auto h = Make(r.protocol);
    Bytes rec = Record(Bytes(r.length > 20 ? r.length - 20 : 0, 0xE8));
    rec.resize(r.length);
    ResultDataPtr result;
    EXPECT_EQ(Parse(*h, rec, result), r.expected) << r.protocol << " " << r.length;
    EXPECT_EQ(result->NumDataBytes, 0u) << r.protocol << " " << r.length;
  }
}

TEST_F(ParseResponse, NullArgumentsChangeNothing) {
  for (const ClassRow& c : kClasses) {
    auto h = Make(c.protocol);
    Bytes rec = Record(Concat(kCanId, {0x7F, 0x22, 0x78}));
    uint32_t flags = 5;
    EXPECT_EQ(h->parseResponse(rec.data(), static_cast<uint32_t>(rec.size()), &flags, nullptr), ResponseClass::kFinal)
        << c.protocol;
    EXPECT_EQ(flags, 5u) << c.protocol;
    ResultDataPtr result = MakeResultData();
    EXPECT_EQ(h->parseResponse(nullptr, 30, &flags, result.get()), ResponseClass::kFinal) << c.protocol;
    EXPECT_EQ(result->pDataBytes, nullptr) << c.protocol;
  }
}

// A record whose count claims more bytes than arrived gives the bytes that
// did, and never reads past the received length.
TEST_F(ParseResponse, CountBeyondReceivedLengthIsCut) {
  auto h = Make("KW81_on_KW_UART");
  Bytes rec = Record({0x50, 0x81, 0x7F});
  rec[16] = 200;  // NumDataBytes
  ResultDataPtr result;
  EXPECT_EQ(Parse(*h, rec, result), ResponseClass::kFinal);
  EXPECT_EQ(DataOf(*result), (Bytes{0x50, 0x81, 0x7F}));
}

// (The ISO 15765 class's lines: golden transcript cop-sendrecv-pending.)
TEST_F(ParseResponse, BaseLogLines) {
  OpenLog();
  auto h = Make("KW81_on_KW_UART");
  ResultDataPtr result;
  Parse(*h, Record({0x7F, 0x22, 0x78, 0x7F, 0x22, 0x21}), result);
  std::string text = MainLog();
  EXPECT_NE(text.find("------recv data \ndata len = 26\ni am 7f 78\ni am 7f 21\npdu_result_data = "), std::string::npos)
      << text;
}

TEST_F(ParseResponse, TransportProtocolsLogNothing) {
  for (const char* p : {"MSP_VW2000LP_on_TP20", "MSP_KW1281_on_TP16", "MSP_VW2000LP_on_TP16"}) {
    auto h = Make(p);
    OpenLog();
    ResultDataPtr result;
    Parse(*h, Record(Concat(kCanId, {0x7F, 0x22, 0x78})), result);
    Parse(*h, Record({0x01}), result);
    EXPECT_EQ(MainLog(), "") << p;
    log::LogCloseAll();
  }
}

}  // namespace
}  // namespace pdu::protocol::test
