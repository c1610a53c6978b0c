// How long each command waits for a VCI that does not answer, to the
// millisecond, on the manual clock: one millisecond before its timeout the
// command still waits, at the timeout it fails with its own result.

#include <chrono>
#include <future>
#include <ostream>

#include "device/DeviceCommands.h"
#include "LinkOnVci.h"
#include "support/TestClock.h"

namespace pdu::device {
namespace {

struct TimedCommand {
  const char* name;
  uint32_t timeoutMs;
  std::function<T_PDU_ERROR()> call;
  uint32_t result = 0x11;  // communication PC to VCI failed
};

void PrintTo(const TimedCommand& c, std::ostream* os) { *os << c.name; }

class CommandTimeout : public LinkOnVci<::testing::TestWithParam<TimedCommand>> {
 protected:
  void SetUp() override {
    vci_.SetSilent(true);
    OpenOn(vci_);
  }

  test::ManualClock clock_;  // first: every wait of the link runs on it
  test::TestVci vci_;
};

TEST_P(CommandTimeout, FailsExactlyAtItsTimeout) {
  const TimedCommand& c = GetParam();
  const uint32_t deadline = clock_.Ticks() + c.timeoutMs;
  auto result = std::async(std::launch::async, c.call);
  // The receive thread's read and the command's wait for its answer.
  ASSERT_TRUE(clock_.WaitForBlocked(2));
  clock_.Advance(c.timeoutMs - 1);
  // A millisecond before, the command still waits, and until exactly then.
  ASSERT_TRUE(clock_.WaitForWaitUntil(deadline, 1000))
      << c.name << " gave up before " << c.timeoutMs << " ms; waits end at "
      << testing::PrintToString(clock_.Deadlines());
  clock_.Advance(1);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << c.name << " still waits after " << c.timeoutMs << " ms";
  EXPECT_EQ(result.get(), c.result) << c.name;
  EXPECT_TRUE(link_->PortIsOpen()) << "a failed " << c.name << " leaves the port to the caller";
  if (c.timeoutMs != 230) {  // reading vehicle data sends nothing
    ASSERT_TRUE(vci_.WaitForFrames(1, 2000));
  }
}

const PDU_RSC_DATA kRsc{12, 3, 0, nullptr};
uint32_t g_value = 1;
const PDU_PARAM_ITEM kItem{PDU_IT_PARAM, 1, PDU_PT_UNUM32, PDU_PC_COM, &g_value};
const uint8_t kRequest[] = {0x22, 0xF1, 0x90};

T_PDU_ERROR VehicleData200() {
  uint32_t length = 0;
  return ReadVehicleData(200, length);
}

INSTANTIATE_TEST_SUITE_P(
    SilentVci, CommandTimeout,
    ::testing::Values(
        TimedCommand{"CLOSE", 1000, [] { return VciClose(); }},
        TimedCommand{"SET_LINK_RESOURCE", 200, [] { return VciSetLinkResource(1, 1, kRsc, nullptr); }},
        TimedCommand{"DESTROY_LINK", 100, [] { return VciDestroyLink(1, 1); }},
        TimedCommand{"DISCONNECT_LINK", 100, [] { return VciDisconnectLink(); }},
        TimedCommand{"SET_LINK_PARAM", 150, [] { return VciSetLinkParam(1, 1, 1, kItem); }},
        TimedCommand{"COP", 1500, [] { return VciCop(1, 1, 1, kRequest, 3, nullptr); }},
        TimedCommand{"CONNECT_LINK", 100, [] { return VciConnectLink(1, 1, nullptr); }},
        TimedCommand{"MODULE_CONNECT", 100, [] { return VciModuleConnect(1); }},
        TimedCommand{"MODULE_DISCONNECT", 100, [] { return VciModuleDisconnect(1); }},
        TimedCommand{"OPEN", 10000, [] { return VciOpen(); }, 7},
        TimedCommand{"IOCTL_READ_VBATT", 500, [] { return Reading("PDU_IOCTL_READ_VBATT"); }, 0x01},
        TimedCommand{"IOCTL_READ_IGNITION", 100, [] { return Reading("PDU_IOCTL_READ_IGNITION_SENSE_STATE"); }, 0x01},
        // Vehicle data: the caller's 200 ms and 30 ms more; 7 = no data.
        TimedCommand{"VEHICLE_DATA_200", 230, VehicleData200, 7}),
    [](const ::testing::TestParamInfo<TimedCommand>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pdu::device
