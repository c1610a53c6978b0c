// The VCI misbehaving: unplugged during construction's probe and during
// connect (in the middle of a SENDRECV: LiveBus.ALostVciEndsTheRunning...
// in tests/engine, with the error code and the timing); garbage and corrupt
// frames on the line; an answer that comes after its command gave up; a
// VCI that stops answering. Every call returns within its timeout with a
// defined status, every ComPrimitive ends with FINISHED, PDUDestruct
// returns, and the next PDUConstruct finds the VCI when it comes back.
#include <future>

#include "support/SessionFixture.h"
#include "device/DeviceLink.h"

namespace pdu::reliability {
using namespace pdu::test;
namespace {

// A reading through PDUIoCtl; value 0xFFFFFFFF when no item came back.
struct Reading { T_PDU_ERROR status = 0; uint32_t value = 0xFFFFFFFFu; };
Reading Read(const char* name) {
  Reading r;
  PDU_DATA_ITEM* out = nullptr;
  r.status = PDUIoCtl(kMod, 0, IdOf(name), nullptr, &out);
  if (out != nullptr) {
    r.value = *static_cast<uint32_t*>(out->pData);
    EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(out)), 0x00u);
  }
  return r;
}

// Runs f on another thread; the result, or a failure after limitMs.
template <class F>
auto WithinMs(uint32_t limitMs, F f, const char* what) {
  auto future = std::async(std::launch::async, f);
  if (future.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
    ADD_FAILURE() << what << " did not return within " << limitMs << " ms";
    std::fprintf(stderr, "%s hangs\n", what);
    std::_Exit(3);  // a hang must not stall the test run
  }
  return future.get();
}

using Faults = HealthySessionTest;

TEST_F(Faults, UnplugDuringTheProbeLeavesNoVciAndTheNextConstructFindsIt) {
  vci_.Script(kCmdProbe, {});  // the first probe goes unanswered
  UseVci(vci_);
  auto construct = std::async(std::launch::async, [] { return PDUConstruct(nullptr, nullptr); });
  ASSERT_TRUE(vci_.WaitForFrames(1, 3000));
  vci_.HangUp();
  // Settle time and two probes of 1100 ms at most.
  ASSERT_EQ(construct.wait_for(std::chrono::milliseconds(5000)), std::future_status::ready);
  EXPECT_EQ(construct.get(), 0x00u);
  EXPECT_EQ(device::GetDeviceLink(), nullptr);
  EXPECT_EQ(PDUDestruct(), 0x11u);

  TestVci back;
  UseVci(back);
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), 0x00u);
  ASSERT_NE(device::GetDeviceLink(), nullptr);
  EXPECT_EQ(device::GetDeviceLink()->PortPath(), back.Path());
  EXPECT_EQ(PDUDestruct(), 0x00u);
}

TEST_F(Faults, UnplugDuringConnectReturnsWithinTheCommandTimeouts) {
  Construct();
  const uint32_t hCLL = ByResource(kCanResource);
  ASSERT_EQ(PDURegisterEventCallback(kMod, hCLL, ItemCollector::Callback), 0x00u);
  vci_.Script(kCmdSetLinkParam, {});  // the first ComParam is never answered
  const size_t before = vci_.FrameCount();
  auto connect = std::async(std::launch::async, [hCLL] { return PDUConnect(kMod, hCLL); });
  ASSERT_TRUE(vci_.WaitForFrames(before + 2, 3000));  // resource and first ComParam
  vci_.HangUp();
  ASSERT_EQ(connect.wait_for(std::chrono::milliseconds(5000)), std::future_status::ready);
  // Device failures do not change the call's result.
  const T_PDU_ERROR status = connect.get();
  EXPECT_TRUE(status == 0x00u || status == 0x11u) << status;
  // The link still works as far as the application is concerned.
  EXPECT_TRUE(items_.WaitCount(1, 2000));
  EXPECT_EQ(WithinMs(2000, [hCLL] { return PDUDisconnect(kMod, hCLL); }, "PDUDisconnect"), 0x00u);
  EXPECT_EQ(WithinMs(3000, [] { return PDUDestruct(); }, "PDUDestruct"), 0x00u);
}

TEST_F(Faults, GarbageAndCorruptFramesBetweenAnswersDoNotBreakTheSession) {
  Construct();
  const uint32_t hCLL = ConnectedLink();
  // Before each answer frame: noise (no flag byte in it, a lone escape
  // byte among it) and a copy of the frame with its checksum broken. Every
  // third exchange goes over the line one byte per write. The handler
  // outlives the test body (the VCI answers the destruction too): it owns
  // its counter.
  auto exchange = std::make_shared<std::atomic<int>>(0);
  vci_.SetHandler(kCmdCop, [vci = &vci_, exchange](const VciFrame& f) {
    Bytes stream;
    for (const VciReply& r : HealthyCopReplies(f)) {
      const Bytes wire = TestVci::WireFrame(0x12, 0x33, r.command, r.data);
      Bytes corrupt = wire;  // the checksum (or its escaped pair's end) broken
      corrupt[wire.size() - 2] = static_cast<uint8_t>(corrupt[wire.size() - 2] == 0x00 ? 0x01 : 0x00);
      stream = Cat({stream, {0x00, 0x31, 0x7D, 0xFF, 0x12, 0x10, 0x7D, 0x5E, 0xAA}, corrupt, wire});
    }
    if (++*exchange % 3 == 0) {
      for (uint8_t b : stream) vci->InjectRaw({b});
    } else {
      vci->InjectRaw(stream);
    }
    return std::vector<VciReply>{};
  });
  for (int i = 0; i < 30; ++i) {
    const uint8_t did = static_cast<uint8_t>(i);
    const uint32_t hCoP = Start(hCLL, PDU_COPT_SENDRECV, {0x22, 0xF1, did});
    ASSERT_TRUE(items_.WaitFinished(hCoP, 5000)) << i;
    const std::vector<SeenItem> seen = items_.ItemsOf(hCoP);
    ASSERT_EQ(KindsOf(hCoP), (std::vector<uint32_t>{0x8011u, 0x1300u, 0x8012u})) << i;
    EXPECT_EQ(seen[1].data, (Bytes{0x62, 0xF1, did})) << i;
  }
}

TEST_F(Faults, ALateAnswerIsNeverTakenSilentlyByTheNextCommand) {
  EnableLog();
  Construct();
  vci_.SetIgnitionState(1);
  // The battery reading waits 500 ms; its answer comes after 800.
  vci_.Script(kCmdIoCtl, {[] {
                 VciReply late = TestVci::Answer(kCmdIoCtl, 0, {PDU_IT_IO_UNUM32, 12345});
                 late.delayMs = 800;
                 return late;
               }()});
  const Reading vbatt = Read("PDU_IOCTL_READ_VBATT");
  EXPECT_EQ(vbatt.status, 0x01u);
  ASSERT_TRUE(device::GetDeviceLink()->WaitAnswerQueued(2000));  // the late answer is in
  // The ignition reading gets its own answer, not the stale voltage, and
  // the log says what became of the stale one.
  const Reading ignition = Read("PDU_IOCTL_READ_IGNITION_SENSE_STATE");
  EXPECT_EQ(ignition.status, 0x00u);
  EXPECT_EQ(ignition.value, 1u);
  EXPECT_NE(MainLog().find("late answer"), std::string::npos);
  // And the session stays in step afterwards.
  const Reading again = Read("PDU_IOCTL_READ_VBATT");
  EXPECT_EQ(again.status, 0x00u);
  EXPECT_EQ(again.value, 12600u);
}

TEST_F(Faults, AVciAnsweringAForeignItemTypeCannotCorruptTheReadingItem) {
  Construct();
  // The reading's item type comes from the VCI's answer; one that does not
  // describe the item the library made (here the error item's type) must
  // not make PDUDestroyItem release it as something else.
  vci_.Script(kCmdIoCtl, {TestVci::Answer(kCmdIoCtl, 0, {PDU_IT_ERROR, 12000})});
  PDU_DATA_ITEM* out = nullptr;
  ASSERT_EQ(PDUIoCtl(kMod, 0, IdOf("PDU_IOCTL_READ_VBATT"), nullptr, &out), 0x00u);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->ItemType, PDU_IT_IO_UNUM32);
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 12000u);
  EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(out)), 0x00u);
}

}  // namespace
}  // namespace pdu::reliability
