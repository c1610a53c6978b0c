// Log lines the golden transcripts do not hold.
#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

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

// The log lines of whole sessions are in the golden transcripts; what they
// do not show is a link nobody listens to: its events are dropped with a
// data-log line.
TEST_F(LogLines, EventsOfALinkWithoutCallbackAreDroppedWithADataLogLine) {
  Construct(Mdf::kShipped, true, true);
  vci_.SetHandler(0x10, HealthyCopReplies);
  uint32_t silent = 0;
  ASSERT_EQ(PDUCreateComLogicalLink(kMod, nullptr, 1001, nullptr, &silent, nullptr), 0u);
  ASSERT_EQ(PDUConnect(kMod, silent), 0u);
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  uint8_t request[] = {0x22, 0xF1, 0x90};
  uint32_t hCoP = 0;
  ASSERT_EQ(PDUStartComPrimitive(kMod, silent, 0x8004, 3, request, &ctrl, nullptr, &hCoP), 0u);
  const std::string dataFile = log::CurrentLogFileNames().data;
  for (int i = 0; i < 100 && ReadFile(dataFile).find("[1]callback = null") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(PDUDestruct(), 0u);
  const auto data = Lines(ReadFile(dataFile));
  EXPECT_NE(std::find(data.begin(), data.end(), "[1]callback = null"), data.end()) << ReadFile(dataFile);
}

}  // namespace
}  // namespace pdu::test
