// The log files and the data log's structure dumps at their limits (the
// ordinary dumps are in the golden transcripts' data logs).
#include "log/PduLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/StructureDump.h"
#include "platform/Platform.h"
#include "support/TempHome.h"

namespace pdu::log {
namespace {

using test::FileExists;
using test::ReadFile;
using test::TempHome;

TEST(HexDump, SpacedOrPlainUpperCaseWithoutTrailingBlank) {
  struct Row { std::vector<uint8_t> bytes; bool spaced; const char* expected; };
  const Row rows[] = {{{0x01, 0xAB, 0x00}, true, "01 AB 00"},
                      {{0x01, 0xAB, 0x00}, false, "01AB00"},
                      {{0x0F}, true, "0F"},
                      {{}, true, "keepme"}};  // nothing to dump: the text stays
  for (const Row& row : rows) {
    char dst[16] = "keepme";
    HexDump(row.bytes.data(), static_cast<uint32_t>(row.bytes.size()), dst, row.spaced);
    EXPECT_STREQ(dst, row.expected);
  }
  char dst[8] = "keepme";
  HexDump(nullptr, 4, dst, false);
  EXPECT_STREQ(dst, "keepme");
  // Long input is cut at the limit.
  std::vector<uint8_t> bytes(16384 + 100, 0xAA);
  std::vector<char> out(3 * 16384 + 1, 'x');
  HexDump(bytes.data(), static_cast<uint32_t>(bytes.size()), out.data(), true);
  EXPECT_EQ(std::strlen(out.data()), 3u * 16384 - 1);  // 16384 bytes at the most
}

// The log switch is exactly "1": anything else keeps logging off and
// creates no folder.
TEST(LogSwitch, OnlyExactlyOneSwitchesOn) {
  struct Row {
    const char* value;  // nullptr: no config.ini at all
    bool on;
  };
  const Row rows[] = {{"1", true}, {"0", false}, {"01", false}, {"\" 1\"", false},
                      {"true", false}, {"", false}, {nullptr, false}};
  for (const Row& row : rows) {
    TempHome home;
    if (row.value != nullptr) {
      // A quoted value keeps its leading blank through the profile reader.
      home.Write("config.ini", std::string("[LOG]\nopen=") + row.value + "\n");
    }
    LogInit();
    EXPECT_EQ(MainLogOn(), row.on) << (row.value ? row.value : "(absent)");
    EXPECT_EQ(FileExists(home.path() + "logs"), row.on) << (row.value ? row.value : "(absent)");
    LogCloseAll();
  }
}

TEST(LogFiles, NamesFollowDateAndLogPath) {
  TempHome home;
  const LogFileNames names = CurrentLogFileNames();
  const std::string date = DateStamp();
  ASSERT_EQ(date.size(), 10u);
  EXPECT_EQ(names.folder, home.logFolder());
  EXPECT_EQ(names.main, names.folder + date + ".txt");
  EXPECT_EQ(names.data, names.folder + date + "_data.txt");
  EXPECT_EQ(names.contact, names.folder + date + "_contact.txt");
}

TEST(LogFiles, MissingLogPathMeansCurrentDirectory) {
  TempHome home;
  platform::ClearEnvValue("PDU7318_LOG_PATH");
  std::string folder = "unchanged";
  EXPECT_FALSE(GetInstallPath(folder));
  EXPECT_EQ(folder, "unchanged");
  EXPECT_EQ(CurrentLogFileNames().main, DateStamp() + ".txt");
}

#ifndef _WIN32  // the Windows value comes from the registry
TEST(LogFiles, RootOrEmptyLogPathGivesAFolderAtTheRoot) {
  TempHome home;
  const struct { const char* value; const char* folder; } cases[] = {
      {"/", "/J2534/7318/"}, {"", "/J2534/7318/"}, {"//", "/J2534/7318/"}, {"/var/log/", "/var/log/J2534/7318/"},
      {"/var/log", "/var/log/J2534/7318/"},
  };
  for (const auto& c : cases) {
    platform::SetEnvValue("PDU7318_LOG_PATH", c.value);
    std::string folder;
    EXPECT_TRUE(GetInstallPath(folder)) << c.value;
    EXPECT_EQ(folder, c.folder) << "value \"" << c.value << "\"";
  }
}
#endif

TEST(LogFiles, LinesGoToTheirFilesExactly) {
  TempHome home;
  home.StartLog();
  ASSERT_TRUE(MainLogOn());
  LogMain("\nPDUConstruct %d", 42);
  LogData("item %s", "x");
  LogContact("%d >>>>>>>>>: %s", 7, "7E");
  LogCloseAll();
  const LogFileNames names = CurrentLogFileNames();
  EXPECT_EQ(ReadFile(names.main), "\nPDUConstruct 42\n");
  EXPECT_EQ(ReadFile(names.data), "item x\n");
  EXPECT_EQ(ReadFile(names.contact), "7 >>>>>>>>>: 7E\n");
  EXPECT_FALSE(MainLogOn());
  LogMain("dropped");  // closed: the line goes nowhere
  EXPECT_EQ(ReadFile(names.main), "\nPDUConstruct 42\n");
}

TEST(LogFiles, SecondInitDoesNotReopenAndConstructionsAppend) {
  TempHome home;
  home.StartLog();
  LogMain("first");
  LogInit();  // still open: the same files stay in use
  LogMain("second");
  LogCloseAll();
  LogInit();  // a later construction of the same day appends
  LogMain("third");
  LogCloseAll();
  EXPECT_EQ(ReadFile(CurrentLogFileNames().main), "first\nsecond\nthird\n");
}

// A construction without destruction in between, with another log folder
// or the switch off by then: the files of the earlier construction stay in
// use; the new folder and the switch count from the next construction after
// a destruction.
TEST(LogFiles, OpenFilesStayInUseUntilClosedWhateverSwitchOrFolderSay) {
  TempHome first;
  first.SetLogSwitch("1");
  LogInit();
  LogMain("one");
  const std::string firstMain = CurrentLogFileNames().main;
  TempHome second;
  second.SetLogSwitch("1");
  LogInit();
  LogMain("two");
  second.SetLogSwitch("0");
  LogInit();
  ASSERT_TRUE(MainLogOn());
  LogMain("three");
  EXPECT_FALSE(FileExists(CurrentLogFileNames().main));
  LogCloseAll();
  EXPECT_EQ(ReadFile(firstMain), "one\ntwo\nthree\n");
  LogInit();  // after the destruction: the switch is off now
  EXPECT_FALSE(MainLogOn());
  second.SetLogSwitch("1");
  LogInit();
  LogMain("four");
  LogCloseAll();
  EXPECT_EQ(ReadFile(CurrentLogFileNames().main), "four\n");
  EXPECT_EQ(ReadFile(firstMain), "one\ntwo\nthree\n");
}

void LogIndented(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  LogMainV("\t\t", fmt, ap);
  va_end(ap);
}

// A line holds up to 196606 characters before its newline, whether it is
// logged whole or as a prefix and a formatted part (the parameter lines of
// the API functions); anything longer is cut to exactly that.
TEST(LogFiles, LineCapacityIs196606CharactersWithOrWithoutPrefix) {
  // What the caller formats; the line in the file, without its newline.
  struct Case { bool indented; size_t textLength, writtenLength; };
  const Case cases[] = {
      {false, 1500, 1500},     {true, 1500, 1502},     {false, 196606, 196606},
      {true, 196604, 196606},  {false, 196700, 196606}, {true, 196700, 196606},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.indented ? "indented " : "plain ") << c.textLength);
    TempHome home;
    home.StartLog();
    const std::string text(c.textLength, 'n');
    c.indented ? LogIndented("%s", text.c_str()) : LogMain("%s", text.c_str());
    const std::string written = TempHome::ClosedMainLog();
    ASSERT_EQ(written.size(), c.writtenLength + 1);
    EXPECT_EQ(written.back(), '\n');
    EXPECT_EQ(written.compare(0, 2, c.indented ? "\t\t" : "nn"), 0);
  }
}

TEST(LogFiles, LinesFromManyThreadsNeverInterleave) {
  TempHome home;
  home.StartLog();
  constexpr int kThreads = 8, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string body(200 + t * 37, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) LogMain("%d:%s", t, body.c_str());
    });
  }
  for (auto& th : threads) th.join();
  const std::string text = TempHome::ClosedMainLog();
  ASSERT_TRUE(text.ends_with('\n'));
  std::istringstream in(text);
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) {
    const int t = line[0] - '0';
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(line, std::to_string(t) + ":" + std::string(200 + t * 37, static_cast<char>('a' + t)));
  }
  EXPECT_EQ(count, kThreads * kLines);
}

// The data log's structure dumps at their limits (the ordinary dumps are in
// the golden transcripts' data logs).

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
