// The main, data and contact log lines of one session, stated as the texts
// the logs must hold (ticks and addresses left out): construction, a link
// with a callback reading one answer, a link without a callback.
#include <regex>
#include <sstream>

#include "support/SessionFixture.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace pdu::test {
namespace {

using LogLines = SessionTest;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& want) {
  for (const std::string& l : lines) {
    if (l == want) return true;
  }
  return false;
}

bool HasLineMatching(const std::vector<std::string>& lines, const std::string& pattern) {
  const std::regex re(pattern);
  for (const std::string& l : lines) {
    if (std::regex_match(l, re)) return true;
  }
  return false;
}

TEST_F(LogLines, ASessionWritesTheseLines) {
  Construct(Mdf::kShipped, true, true);
  vci_.SetHandler(0x10, [](const VciFrame&) {
    return std::vector<VciReply>{TestVci::Answer(0x10, 0),
                                 TestVci::VehicleData(0, 0, 0, Bytes{0xE8, 0x07, 0x00, 0x00, 0x62, 0xF1, 0x90})};
  });
  uint32_t withCallback = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, 1001, nullptr, &withCallback, nullptr), 0u);
  ASSERT_EQ(PDURegisterEventCallback(kMod, withCallback, ItemCollector::Callback), 0u);
  ASSERT_EQ(PDUConnect(kMod, withCallback), 0u);
  ASSERT_TRUE(items_.WaitCount(1));
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  uint8_t request[] = {0x22, 0xF1, 0x90};
  uint32_t hCoP = 0;
  ASSERT_EQ(PDUStartComPrimitive(kMod, withCallback, 0x8004, 3, request, &ctrl, nullptr, &hCoP), 0u);
  ASSERT_TRUE(items_.WaitCount(4));  // ONLINE, EXECUTING, result, FINISHED

  // A link nobody listens to: its events are dropped with a data-log line.
  uint32_t silent = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, 1001, nullptr, &silent, nullptr), 0u);
  ASSERT_EQ(PDUConnect(kMod, silent), 0u);
  uint32_t hCoP2 = 0;
  ASSERT_EQ(PDUStartComPrimitive(kMod, silent, 0x8004, 3, request, &ctrl, nullptr, &hCoP2), 0u);
  const std::string dataFile = log::CurrentLogFileNames().data;
  const std::string contactFile = log::CurrentLogFileNames().contact;
  for (int i = 0; i < 100 && ReadFile(dataFile).find("[2]callback = null") == std::string::npos; ++i) {
    platform::SleepMs(20);
  }
  ASSERT_EQ(PDUDestruct(), 0u);

  const auto main = Lines(MainLog());
  const auto data = Lines(ReadFile(dataFile));
  const auto contact = Lines(ReadFile(contactFile));

  for (const char* want : {"ret = 0", "\t\tCopTag = 0", "\t\tItemType = PDU_IT_RESULT", "\t\tItemType = PDU_IT_STATUS",
                           "\t\t\tPDU_COPST_EXECUTING", "\t\t\tPDU_COPST_FINISHED", "\t\tpCllTag = $0", "*phCLL = 1",
                           "*phCLL = 2", "pduDoCopSendrecv cop = 1", "data len = 27"}) {
    EXPECT_TRUE(HasLine(main, want)) << "main log: \"" << want << "\"";
  }
  for (const char* pattern : {"\t\tTimeStamp = \\d+", "\\d+ Write Data_Original: 7E0E00.*"}) {
    EXPECT_TRUE(HasLineMatching(main, pattern)) << "main log: " << pattern;
  }
  for (const char* want : {">>>[1  1] status = PDU_COPST_EXECUTING", ">>>[1  1] status = result", "[2]callback = null"}) {
    EXPECT_TRUE(HasLine(data, want)) << "data log: \"" << want << "\"";
  }
  for (const char* pattern : {"\\d+ >>>>>>>>>: 7E.*", "\\d+ <<<<<<<<<: 7E.*"}) {
    EXPECT_TRUE(HasLineMatching(contact, pattern)) << "contact log: " << pattern;
  }
}

}  // namespace
}  // namespace pdu::test
