// The live bus of the simulator: the scenario's traffic (every frame a node
// sends unasked) goes to a listening raw CAN link on the grid of the VCI
// clock, interleaved with the answers, within the ComPrimitive's budget,
// and stops when the link stops listening; OPEN and CLOSE drop everything the VCI still had to say.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Scenario.h"
#include "VciCore.h"
#include "VciDevice.h"
#include "Hex.h"

namespace vcisim {
namespace {

// Outgoing frames only: "<command hex> <data hex>".
std::string Describe(bool fromPc, uint8_t, uint8_t, uint8_t command, const Bytes& data) {
  if (fromPc) return {};
  char c[8];
  snprintf(c, sizeof c, "%02X", command);
  return std::string(c) + " " + HexSpaced(data);
}

class BusTrafficTest : public ::testing::Test {
 protected:
  BusTrafficTest() : device_(MakeScenario()), core_({false, false, {}}) {
    core_.SetDefault([this](const ReceivedFrame& f) { return device_.OnFrame(f.channel, f.command, f.data, f.tick); });
    core_.SetTrace(Describe, [this](const std::string& line) {
      if (line.empty() || line[0] == ' ') return;
      lines_.push_back(line.substr(0, line.find("  (")));  // without the note
    });
    device_.AttachCore(&core_);
  }

  static Scenario MakeScenario() {
    Scenario s;
    EcuConfig uds;
    uds.name = "engine";
    uds.routines[0x0203] = Routine{2, 400, H("00")};
    s.ecus.push_back(uds);
    EcuConfig body;  // echoes raw frames on 0x710 with 0x718
    body.name = "body";
    body.behaviour = EcuBehaviour::kRaw;
    body.requestId = 0x710;
    body.responseId = 0x718;
    body.delayMs = 2;
    s.ecus.push_back(body);
    s.traffic.push_back({"fast", TrafficFamily::kRawCan, 0x0C1, H("12 00"), 1, 1, 0, true});
    s.traffic.push_back({"slow", TrafficFamily::kRawCan, 0x1A0, H("AA"), 10, 2, 3, false});
    return s;
  }

  void Send(uint8_t command, const Bytes& data, uint32_t now) {
    const Bytes wire = VciCore::WireFrame(0x12, ++seq_, command, data);
    core_.Feed(wire.data(), wire.size(), [now] { return now; });
  }
  // A link: raw CAN (protocol 18) as hCLL 1, UDS (protocol 2) as hCLL 2.
  void Links(uint32_t now) {
    Send(0x08, Words({1, 12, 18, 0, 0, 1, 0}), now);
    Send(0x08, Words({1, 12, 2, 0, 0, 2, 0}), now);
  }
  void Cop(uint32_t hCLL, const Bytes& request, uint32_t receiveCycles, uint32_t now) {
    Send(0x10, CopData(hCLL, 0x8004, request, receiveCycles), now);
  }
  std::vector<std::string> Take(uint32_t now) {
    lines_.clear();
    Bytes out;
    core_.TakeDue(now, out);
    return lines_;
  }

  VciDevice device_;
  VciCore core_;
  std::vector<std::string> lines_;
  uint8_t seq_ = 0;
};

// A raw frame 0x7FF with no data, as the library sends it (4 zero bytes
// behind).
const Bytes kListen = H("FF 07 00 00 00 00 00 00");

TEST_F(BusTrafficTest, StreamsTheBusOnItsGridAfterTheAnswer) {
  Links(95);
  Take(95);
  Cop(1, kListen, 0xFFFFFFFF, 100);
  EXPECT_EQ(core_.NextDueMs(), 100u);
  EXPECT_EQ(Take(103), (std::vector<std::string>{
                           "10 00 00 00 00",
                           "1E 00 00 00 00 65 00 00 00 00 00 00 00 06 00 00 00 C1 00 00 00 12 65",
                           "1E 00 00 00 00 66 00 00 00 00 00 00 00 06 00 00 00 C1 00 00 00 12 66",
                           "1E 00 00 00 00 67 00 00 00 00 00 00 00 06 00 00 00 C1 00 00 00 12 67",
                           // slow: a burst of two at 3 + 10 k, after the fast frame due then
                           "1E 00 00 00 00 67 00 00 00 00 00 00 00 05 00 00 00 A0 01 00 00 AA",
                           "1E 00 00 00 00 67 00 00 00 00 00 00 00 05 00 00 00 A0 01 00 00 AA",
                       }));
  EXPECT_EQ(core_.NextDueMs(), 104u);
  // A host that was late gets every frame it missed, each with its time.
  EXPECT_EQ(Take(106).size(), 3u);
  EXPECT_EQ(core_.StreamFramesSent(), 8u);
}

TEST_F(BusTrafficTest, EndsWithinTheBudgetAndWithTheNextComPrimitive) {
  Links(0);
  Take(0);
  // NumReceiveCycles 3: the VCI sends at most three frames in all.
  Cop(1, kListen, 3, 200);
  EXPECT_EQ(Take(260).size(), 4u);  // the COP answer and three bus frames
  EXPECT_EQ(core_.NextDueMs(), std::nullopt);

  Cop(1, kListen, 0xFFFFFFFF, 300);
  EXPECT_EQ(Take(302).size(), 3u);
  // A ComPrimitive that does not listen (here on the UDS link) ends it.
  Cop(2, H("E0 07 00 00 3E 00"), 1, 303);
  const std::vector<std::string> after = Take(400);
  ASSERT_FALSE(after.empty());
  for (const std::string& l : after) EXPECT_EQ(l.find("C1 00 00 00"), std::string::npos) << l;

  // NumReceiveCycles 1 on the raw link: no bus frames either.
  Cop(1, kListen, 1, 500);
  EXPECT_EQ(Take(600), std::vector<std::string>{"10 00 00 00 00"});
}

// A raw ECU's answer takes its place in the window's budget first; the bus
// gets the rest and never starts over with a window: each frame carries
// its number on the source's grid (frame 301, 302, then 501), not 0.
TEST_F(BusTrafficTest, AnswerFirstWithinTheBudgetAndTheBusGoesOnAcrossWindows) {
  Links(0);
  Take(0);
  Cop(1, H("10 07 00 00 01 02 00 00 00 00"), 3, 300);
  EXPECT_EQ(Take(400), (std::vector<std::string>{
                           "10 00 00 00 00",
                           "1E 00 00 00 00 2D 01 00 00 00 00 00 00 06 00 00 00 C1 00 00 00 12 2D",
                           "1E 00 00 00 00 2E 01 00 00 00 00 00 00 06 00 00 00 18 07 00 00 01 02",
                           "1E 00 00 00 00 2E 01 00 00 00 00 00 00 06 00 00 00 C1 00 00 00 12 2E",
                       }));
  EXPECT_EQ(core_.NextDueMs(), std::nullopt);
  Cop(1, kListen, 0xFFFFFFFF, 500);
  const std::vector<std::string> next = Take(501);
  ASSERT_EQ(next.size(), 2u);
  EXPECT_EQ(next[1].substr(next[1].size() - 5), "12 F5");
}

TEST_F(BusTrafficTest, OpenAndCloseDropAPendingJobAndTheTraffic) {
  Links(0);
  Take(0);
  // The routine answers 7F 31 78 twice, 400 ms apart, then its result.
  Cop(2, H("E0 07 00 00 31 01 02 03"), 1, 1000);
  EXPECT_EQ(Take(1000).size(), 1u);  // the COP answer
  EXPECT_EQ(Take(1010), std::vector<std::string>{"1E 00 00 00 00 F2 03 00 00 00 00 00 00 07 00 00 00 E8 07 00 00 7F 31 78"});
  ASSERT_EQ(core_.NextDueMs(), 1410u);
  Send(0x01, {}, 1100);  // a new client opens: the old job is gone
  EXPECT_EQ(Take(5000), std::vector<std::string>{"01 00 00 00 00 03 00 02 01"});

  Cop(1, kListen, 0xFFFFFFFF, 6000);
  Take(6001);
  Send(0x02, Words({0}), 6002);  // CLOSE
  EXPECT_EQ(Take(7000), std::vector<std::string>{"02 00 00 00 00"});
  EXPECT_EQ(core_.NextDueMs(), std::nullopt);
}

}  // namespace
}  // namespace vcisim
