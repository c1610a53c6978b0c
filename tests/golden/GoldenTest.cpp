// Golden-transcript runner: each test is one scenario family, run through
// the exported functions in-process against the test VCI; its transcript
// (see Transcript.h) is compared with tests/golden/<family>.txt.
//
// Re-record every transcript after an intended change of behaviour:
//
//   tools/record-golden            (= PDU7318_RECORD_GOLDEN=1 ctest -R golden)
//
// then read the diff (git diff tests/golden) before committing it: the
// transcripts are the expected values.
#include <filesystem>

#include "GoldenRunner.h"
#include "support/TestClock.h"

namespace pdu::golden {
namespace {

// ---- the tick window ----------------------------------------------------

// A number in a log line becomes <t> when it lies between the scenario's
// first tick and its last. The test clock's ticks start at 3,000,000,000
// whatever the machine's uptime, and no recorded number lies in the hour
// after it, so no constant of a transcript can be taken for a tick (with
// the OS tick count, constants such as 500000 did at 500 s of uptime).
TEST(TickWindow, NoRecordedNumberLiesInTheTestClocksFirstHour) {
  const uint32_t now = test::InstantPauseClock::Instance().Ticks();
  EXPECT_GE(now, 2000000000u);
  EXPECT_LT(now, 2000000000u + 3600000u);
  size_t files = 0, lines = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(PDU7318_SOURCE_DIR) + "/tests/golden")) {
    if (entry.path().extension() != ".txt") continue;
    ++files;
    for (const std::string& line : SplitLines(test::ReadFile(entry.path().string()))) {
      ++lines;
      EXPECT_EQ(NormaliseTicks(line, 2000000000u, 2000000000u + 3600000u), line) << entry.path().filename();
    }
  }
  EXPECT_GE(files, 20u);
  EXPECT_GE(lines, 1000u);
}

// ---- scenarios ----------------------------------------------------------

TEST_F(GoldenTest, ConstructionAndProbe) {
  vci_->SetOpenWord(0x00010203);
  Construct();
  PDU_VERSION_DATA v{};
  const T_PDU_ERROR rc = PDUGetVersion(kMod, &v);
  Call("PDUGetVersion(1)", rc,
       Fmt("hw=%s/%u fw=%s/%u vendor=%s api=%s/%u/%u parts=%u,%u", v.HwName, v.HwVersion, v.FwName, v.FwVersion,
           v.VendorName, v.PDUApiSwName, v.PDUApiSwVersion, v.PDUApiSwDate, v.MVCI_Part1StandardVersion,
           v.MVCI_Part2StandardVersion));
  PDU_MODULE_ITEM* mods = nullptr;
  const T_PDU_ERROR mrc = PDUGetModuleIds(&mods);
  std::string modText;
  if (mods != nullptr) {
    modText = Fmt("type=0x%04X n=%u", mods->ItemType, mods->NumEntries);
    for (uint32_t i = 0; i < mods->NumEntries; ++i) {
      const PDU_MODULE_DATA& d = mods->pModuleData[i];
      modText += Fmt(" [typeId=%u hMod=%u name=%s info=%s status=0x%04X]", d.ModuleTypeId, d.hMod,
                     d.pVendorModuleName ? d.pVendorModuleName : "null",
                     d.pVendorAdditionalInfo ? d.pVendorAdditionalInfo : "null", d.ModuleStatus);
    }
    PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(mods));
  }
  Call("PDUGetModuleIds()", mrc, modText);
  Status(PDU_HANDLE_UNDEF, PDU_HANDLE_UNDEF);
  UNUM32 ts = 0;
  const T_PDU_ERROR trc = PDUGetTimestamp(kMod, &ts);
  Call("PDUGetTimestamp(1)", trc, "timestamp=" + Ts(ts));
  Call("PDUModuleDisconnect(1)", PDUModuleDisconnect(kMod));
  Call("PDUModuleConnect(1)", PDUModuleConnect(kMod));
  LastError(PDU_HANDLE_UNDEF);
  ObjectId(PDU_OBJT_RESOURCE, "RSC_ISO_15765_3_on_ISO_15765_2_6_14");
  ObjectId(PDU_OBJT_PROTOCOL, "ISO_15765_3_on_ISO_15765_2");
  ObjectId(PDU_OBJT_BUSTYPE, "ISO_11898_2_DWCAN");
  ObjectId(PDU_OBJT_PINTYPE, "HI");
  ObjectId(PDU_OBJT_COMPARAM, "NO_SUCH_NAME");
  Destruct();
  Check("construction-and-probe");
}

// Create, read and write a ComParam, connect, disconnect, destroy.
class LinkLifecycle : public GoldenTest {
 protected:
  void Run(uint32_t resourceId, const char* name) {
    Construct();
    const uint32_t h = Link(resourceId, 0x1100);
    GetU32(h, "CP_P2Max");
    SetU32(h, "CP_P2Max", 250);
    Connect(h);
    Status(h, PDU_HANDLE_UNDEF);
    Finish(h, name);
  }
};

TEST_F(LinkLifecycle, Iso15765) { Run(1001, "link-iso15765"); }
TEST_F(LinkLifecycle, Iso14230) { Run(1014, "link-iso14230"); }
TEST_F(LinkLifecycle, Tp20) { Run(1010, "link-tp20"); }
TEST_F(LinkLifecycle, Iso9141) { Run(1022, "link-iso9141"); }
TEST_F(LinkLifecycle, Tp16) { Run(1011, "link-tp16"); }
TEST_F(LinkLifecycle, RawCan) { Run(1006, "link-raw-can"); }
TEST_F(LinkLifecycle, J1850Vpw) { Run(1029, "link-j1850-vpw"); }

// ComPrimitives on an ISO 15765 link: requests go out to 0x7E0, answers
// come back from 0x7E8 (the four id bytes in front of the message).
class ComPrimitive : public GoldenTest {
 protected:
  uint32_t Online(uint32_t resourceId = 1001, uintptr_t tag = 0x2200) {
    Construct();
    const uint32_t h = Link(resourceId, tag);
    Connect(h);
    return h;
  }
};

// The shared prologue: only construction, the link and its end.
TEST_F(ComPrimitive, Prologue) { Finish(Online(), kPrologue); }

TEST_F(ComPrimitive, StartComm) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}}));
  const uint32_t h = Online(), c = Cop(h, PDU_COPT_STARTCOMM, {0x10, 0x03}, 1, 1, 0x31);
  Status(h, c);
  Finish(h, "cop-startcomm");
}

TEST_F(ComPrimitive, SendRecvPositive) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x62, 0xF1, 0x90, 0x41, 0x42}}));
  const uint32_t h = Online();
  Cop(h, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90}, 1, 1, 0x32);
  Finish(h, "cop-sendrecv-positive");
}

TEST_F(ComPrimitive, SendRecvPending) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x7F, 0x31, 0x78},
                              {0xE8, 0x07, 0x00, 0x00, 0x71, 0x01, 0xFF, 0x00}},
                             50));
  const uint32_t h = Online();
  Cop(h, PDU_COPT_SENDRECV, {0x31, 0x01, 0xFF, 0x00}, 1, 1, 0x33);
  Finish(h, "cop-sendrecv-pending");
}

TEST_F(ComPrimitive, SendRecvBusyRepeat) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x62, 0x01, 0x00}}));
  vci_->Script(kCmdCop, {TestVci::Answer(kCmdCop, 0), TestVci::VehicleData(0, 0, 1, {0xE8, 0x07, 0x00, 0x00, 0x7F, 0x22, 0x21})});
  const uint32_t h = Online();
  Cop(h, PDU_COPT_SENDRECV, {0x22, 0x01, 0x00}, 1, 1, 0x34);
  Finish(h, "cop-sendrecv-busy-repeat");
}

// The same scenario on the manual clock (pauses take no time): a test
// steps a ComPrimitive's long wait instead of spending it.
class ComPrimitiveOnManualClock : public ComPrimitive {
 protected:
  void SetUp() override {
    clock_.SetInstantPauses(true);
    ComPrimitive::SetUp();
  }
  test::ManualClock clock_{test::kInstantClockStart};
};

TEST_F(ComPrimitiveOnManualClock, SendRecvNoAnswer) {
  vci_->SetHandler(kCmdCop, Ecu({}));
  const uint32_t h = Online();
  SetU32(h, "CP_P2Max", 100);
  const uint32_t t0 = clock_.Ticks();
  const uint32_t c = Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x35, 0);
  // The CAN class waits 3000 ms (and the read's 30) for an answer.
  ASSERT_TRUE(clock_.WaitForWaitUntil(t0 + 3030));
  clock_.Advance(3030);
  ASSERT_TRUE(WaitFinished(c, 5000));
  LastError(h);
  Status(h, c);
  Finish(h, "cop-sendrecv-no-answer");
}

TEST_F(ComPrimitive, SendRecvMultipleResponses) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x41, 0x00, 0xBE, 0x3E, 0xB8, 0x11},
                              {0xE8, 0x07, 0x00, 0x00, 0x41, 0x00, 0x80, 0x00, 0x00, 0x01}},
                             10));
  const uint32_t h = Online();
  Cop(h, PDU_COPT_SENDRECV, {0x01, 0x00}, 1, -1, 0x36);
  Finish(h, "cop-sendrecv-multiple-responses");
}

TEST_F(ComPrimitive, StopComm) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x50, 0x03}}));
  const uint32_t h = Online();
  Cop(h, PDU_COPT_STARTCOMM, {0x10, 0x03}, 1, 1, 0x37);
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x50, 0x01}}));
  Cop(h, PDU_COPT_STOPCOMM, {0x10, 0x01}, 1, 1, 0x38);
  Finish(h, "cop-stopcomm");
}

TEST_F(ComPrimitive, UpdateParam) {
  vci_->SetHandler(kCmdCop, Ecu({{0xE8, 0x07, 0x00, 0x00, 0x7E, 0x00}}));
  const uint32_t h = Online();
  SetU32(h, "CP_P2Max", 400);
  Cop(h, PDU_COPT_UPDATEPARAM, {}, 1, 1, 0x39);
  GetU32(h, "CP_P2Max");
  Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x3A);
  Finish(h, "cop-updateparam");
}

// The same request on a K-line link (ISO 14230): the answer comes with
// its format, target and source bytes in front.
TEST_F(ComPrimitive, SendRecvOnKLine) {
  vci_->SetHandler(kCmdCop, Ecu({{0x83, 0xF1, 0x10, 0x62, 0xF1, 0x90}}));
  const uint32_t h = Online(1014, 0x2300);
  Cop(h, PDU_COPT_STARTCOMM, {0x81}, 1, 1, 0x3B);
  Cop(h, PDU_COPT_SENDRECV, {0x22, 0xF1, 0x90}, 1, 1, 0x3C);
  Finish(h, "cop-sendrecv-kline");
}

TEST_F(GoldenTest, IoControl) {
  vci_->SetBatteryMillivolts(12340);
  vci_->SetIgnitionState(1);
  Construct();
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_VBATT");
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_IGNITION_SENSE_STATE");
  vci_->SetBatteryMillivolts(0);
  vci_->SetIgnitionState(0);
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_VBATT");
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_IGNITION_SENSE_STATE");
  vci_->SetStatus(kCmdIoCtl, 0x23);
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_VBATT");
  Destruct();
  Check("ioctl-vbatt-ignition");
}

// Faults of the VCI and the line.
class Fault : public ComPrimitive {};

TEST_F(Fault, BadChecksum) {
  const uint32_t h = Online();
  TestVci* vci = vci_.get();
  vci_->SetHandler(kCmdCop, [vci](const VciFrame&) {
    // A vehicle-data frame whose checksum is one off goes out first: the
    // library drops it and takes the good answer behind it.
    Bytes bad = TestVci::WireFrame(0x12, 0x07, 0x1E, TestVci::Words({0, 0, 1, 6, 0x000007E8, 0x0000007F}));
    bad[bad.size() - 2] = static_cast<uint8_t>(bad[bad.size() - 2] == 0x01 ? 0x02 : 0x01);
    vci->InjectRaw(bad);
    return std::vector<VciReply>{TestVci::Answer(kCmdCop, 0),
                                 TestVci::VehicleData(0, 0, 1, {0xE8, 0x07, 0x00, 0x00, 0x7E, 0x00})};
  });
  Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x43);
  Finish(h, "fault-bad-checksum");
}

TEST_F(Fault, Garbage) {
  const uint32_t h = Online();
  TestVci* vci = vci_.get();
  vci_->SetHandler(kCmdCop, [vci](const VciFrame& f) {
    // Line noise (with a stray flag and a broken escape) ahead of the answer.
    vci->InjectRaw({0x00, 0xFF, 0x13, 0x37, 0x55, 0xAA, 0x7E, 0x7D, 0x01});
    return Ecu({{0xE8, 0x07, 0x00, 0x00, 0x7E, 0x00}})(f);
  });
  Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x44);
  Finish(h, "fault-garbage");
}

TEST_F(Fault, Unplug) {
  const uint32_t h = Online();
  vci_->HangUp();
  SettleReceiveThread();  // the receive thread logs the failed read
  Cop(h, PDU_COPT_SENDRECV, {0x3E, 0x00}, 1, 1, 0x45);
  LastError(h);
  IoCtl(PDU_HANDLE_UNDEF, "PDU_IOCTL_READ_VBATT");
  Destroy(h);
  Destruct();
  Check("fault-unplug");
}

}  // namespace
}  // namespace pdu::golden
