#include "log/StructureDump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// The data log's structure dumps at their limits (the ordinary dumps are in
// the golden transcripts' data logs).
namespace pdu::log {
namespace {

size_t Lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

TEST(DumpResultData, HugeDataIsCutNotOverflowed) {
  std::vector<uint8_t> data(5000, 0xAB);
  PDU_EXTRA_INFO extra{};
  PDU_RESULT_DATA r{};
  r.pExtraInfo = &extra;
  r.NumDataBytes = static_cast<uint32_t>(data.size());
  r.pDataBytes = data.data();
  const std::string s = DumpResultData(r);
  const std::string line = s.substr(s.rfind('\n'));
  EXPECT_LT(line.size(), 4200u);
}

TEST(DumpCopCtrlData, NegativeCyclesPrintUnsignedInSevenLines) {
  PDU_COP_CTRL_DATA c{};
  c.NumSendCycles = 1;
  c.NumReceiveCycles = -1;
  EXPECT_EQ(DumpCopCtrlData(c),
            "\n\t\t\tpCopCtrlData->Time = 0"
            "\n\r\t\t\tpCopCtrlData->NumSendCycles = 1"
            "\n\r\t\t\tpCopCtrlData->NumReceiveCycles = 4294967295"
            "\n\r\t\t\tpCopCtrlData->TempParamUpdate = 0"
            "\n\r\t\t\tpCopCtrlData->NumFlagBytes = 0"
            "\n\r\t\t\tpCopCtrlData->TxFlag.pFlagData = "
            "\n\r\t\t\tpCopCtrlData->TxFlag.NumPossibleExpectedResponses = 0");
}

TEST(DumpCopCtrlData, ExpectedResponsesWithAndWithoutMask) {
  uint8_t mask[] = {0xFF, 0x00};
  uint8_t pattern[] = {0x62, 0x00};
  PDU_EXP_RESP_DATA resp[2] = {};
  resp[0].AcceptanceId = 1;
  resp[1].AcceptanceId = 2;
  resp[1].NumMaskPatternBytes = 2;
  resp[1].pMaskData = mask;
  resp[1].pPatternData = pattern;
  PDU_COP_CTRL_DATA c{};
  c.NumPossibleExpectedResponses = 2;
  c.pExpectedResponseArray = resp;
  const std::string s = DumpCopCtrlData(c);
  EXPECT_EQ(Lines(s), 7u + 4u + 6u);
  EXPECT_NE(s.find("\n\r\t\t\tpCopCtrlData.pExpectedResponseArray[0].AcceptanceId = 1"
                   "\n\r\t\t\tpCopCtrlData.pExpectedResponseArray[0].NumMaskPatternBytes = 0"
                   "\n\r\t\t\tpCopCtrlData.pExpectedResponseArray[0].NumUniqueRespIds = 0"
                   "\n\r\t\t\tpCopCtrlData.pExpectedResponseArray[0].ResponseType = 0"),
            std::string::npos);
  EXPECT_NE(s.find("[1].pMaskData = FF 00\n\r\t\t\tpCopCtrlData.pExpectedResponseArray[1].pPatternData = 62 00"),
            std::string::npos);
}

}  // namespace
}  // namespace pdu::log
