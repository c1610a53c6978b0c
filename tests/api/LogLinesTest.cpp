// Log lines the golden transcripts do not hold.

#include "support/SessionFixture.h"

namespace pdu::test {
namespace {

using LogLines = SessionTest;

// The log lines of whole sessions are in the golden transcripts; what they
// do not show is a link nobody listens to: its events are dropped with a
// data-log line.
TEST_F(LogLines, EventsOfALinkWithoutCallbackAreDroppedWithADataLogLine) {
  Construct(Mdf::kShipped, true, true);
  vci_.SetHandler(0x10, HealthyCopReplies);
  const uint32_t silent = ByResource(1001);
  ASSERT_EQ(PDUConnect(kMod, silent), 0u);
  Start(silent, 0x8004, {0x22, 0xF1, 0x90});
  const std::string dataFile = log::CurrentLogFileNames().data;
  // The whole line, as the file holds it.
  auto logged = [&] { return ("\n" + ReadFile(dataFile)).find("\n[1]callback = null\n") != std::string::npos; };
  for (int i = 0; i < 100 && !logged(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(PDUDestruct(), 0u);
  EXPECT_TRUE(logged()) << ReadFile(dataFile);
}

}  // namespace
}  // namespace pdu::test
