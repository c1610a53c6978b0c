// Construction and destruction against the test VCI, the module's answers
// about itself, status names and the resource lock calls.

#include <atomic>
#include <future>

#include "api/StatusName.h"
#include "engine/ModuleState.h"
#include "device/DeviceLink.h"
#include "engine/EngineThread.h"
#include "support/SessionFixture.h"

namespace pdu::api {
namespace {

using test::TestVci;
using test::kCmdClose;
using test::kCmdModuleConnect;
using test::kCmdOpen;
using test::kCmdProbe;

class ConstructTest : public test::SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    EnableLog();
  }
};

TEST_F(ConstructTest, NoVciConstructsEmptyAndDestructFailsTwice) {
  Construct(test::Mdf::kShipped, /*withVci=*/false);
  EXPECT_EQ(device::GetDeviceLink(), nullptr);
  EXPECT_NE(MainLog().find("Can't find comm\n"), std::string::npos);
  EXPECT_EQ(PDUDestruct(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  EXPECT_EQ(PDUDestruct(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  // The lock is free: another thread's call goes through.
  std::thread other([] { EXPECT_EQ(PDULockResource(0, 0, 0), PDU_STATUS_NOERROR); });
  other.join();
  EXPECT_NE(MainLog().find("construct empty\nPDUDestruct <PDU_ERR_COMM_PC_TO_VCI_FAILED> "), std::string::npos);
}

// The frames and log lines of construction and destruction are pinned by
// the golden transcripts (the threads' end: ConcurrentDestructs below);
// here the log of an options string.
TEST_F(ConstructTest, OptionsStringIsLogged) {
  UseVci();
  ASSERT_EQ(PDUConstruct(const_cast<char*>("opts"), nullptr), PDU_STATUS_NOERROR);
  EXPECT_NE(MainLog().find("OptionsStr =opts\npAPITag = $00000000\n"), std::string::npos);
}

TEST_F(ConstructTest, OpenRefusedLeavesTheModuleUnconstructed) {
  vci_.SetStatus(kCmdOpen, 0x32);
  Construct();
  EXPECT_EQ(device::GetDeviceLink(), nullptr);
  EXPECT_FALSE(engine::EngineThreadRunning());
  EXPECT_NE(MainLog().find("Open FAIL\n"), std::string::npos);
  EXPECT_EQ(PDUDestruct(), PDU_ERR_COMM_PC_TO_VCI_FAILED);
}

TEST_F(ConstructTest, SecondConstructReopensThePortWithOneEngineThread) {
  Construct();
  ASSERT_EQ(PDUConstruct(nullptr, nullptr), PDU_STATUS_NOERROR);
  ASSERT_NE(device::GetDeviceLink(), nullptr);
  EXPECT_TRUE(device::GetDeviceLink()->ReadThreadRunning());
  EXPECT_TRUE(engine::EngineThreadRunning());
  EXPECT_EQ(vci_.FramesWithCommand(kCmdProbe).size(), 2u);
  EXPECT_EQ(vci_.FramesWithCommand(kCmdOpen).size(), 2u);
  // The fresh receive path works: a module command gets its answer.
  EXPECT_EQ(PDUModuleConnect(1), PDU_STATUS_NOERROR);
  EXPECT_EQ(vci_.FramesWithCommand(kCmdModuleConnect).size(), 1u);
  EXPECT_EQ(PDUDestruct(), PDU_STATUS_NOERROR);
}

// (Null output pointers, in every state: ApiMisuse's ModuleNullPointerCases.)
TEST_F(ConstructTest, ModuleIdsAndStatusWithoutVci) {
  Construct(test::Mdf::kShipped, /*withVci=*/false);
  PDU_MODULE_ITEM* mods = nullptr;
  ASSERT_EQ(PDUGetModuleIds(&mods), PDU_STATUS_NOERROR);
  ASSERT_NE(mods, nullptr);
  EXPECT_EQ(mods->ItemType, PDU_IT_MODULE_ID);
  ASSERT_EQ(mods->NumEntries, 1u);
  EXPECT_EQ(mods->pModuleData[0].hMod, 1u);
  EXPECT_EQ(mods->pModuleData[0].ModuleTypeId, 3u);
  EXPECT_EQ(mods->pModuleData[0].ModuleStatus, PDU_MODST_AVAIL);
  EXPECT_NE(std::strstr(mods->pModuleData[0].pVendorModuleName, "IP='127.0.0.1'"), nullptr);
  EXPECT_STREQ(mods->pModuleData[0].pVendorAdditionalInfo, "Interface='USB'");
  EXPECT_EQ(PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(mods)), PDU_STATUS_NOERROR);

  T_PDU_STATUS status = 0;
  UNUM32 ts = 0, extra = 0;
  ASSERT_EQ(PDUGetStatus(1, 9, 9, &status, &ts, &extra), PDU_STATUS_NOERROR);
  EXPECT_EQ(status, PDU_MODST_AVAIL);
  EXPECT_EQ(extra, 0xFFFFFFFEu);
  // Module connect without a device sends nothing, answers 0 and is READY.
  EXPECT_EQ(PDUModuleConnect(1), PDU_STATUS_NOERROR);
  ASSERT_EQ(PDUGetStatus(1, 0, 0, &status, &ts, &extra), PDU_STATUS_NOERROR);
  EXPECT_EQ(status, PDU_MODST_READY);
  EXPECT_EQ(PDUModuleDisconnect(1), PDU_ERR_COMM_PC_TO_VCI_FAILED);
  ASSERT_EQ(PDUGetStatus(1, 0, 0, &status, &ts, &extra), PDU_STATUS_NOERROR);
  EXPECT_EQ(status, PDU_MODST_AVAIL);

  UNUM32 keep = 1234;
  EXPECT_EQ(PDUGetTimestamp(1, &keep), PDU_STATUS_NOERROR);
  EXPECT_EQ(keep, 1234u);
  PDU_RSC_ID_ITEM* ids = reinterpret_cast<PDU_RSC_ID_ITEM*>(0x10);
  EXPECT_EQ(PDUGetResourceIds(1, nullptr, &ids), PDU_STATUS_NOERROR);
  EXPECT_EQ(ids, reinterpret_cast<PDU_RSC_ID_ITEM*>(0x10));
}

// (The fixed fields, HwVersion 16777216 and the part versions 33685504:
// golden construction-and-probe; a null pointer: ApiMisuse.)
TEST_F(ConstructTest, VersionComesFromTheIniFile) {
  home_.Write("PDUAPI_7318.ini", "[MVCI_VERSION]\nHWVersion=5\n");
  PDU_VERSION_DATA v;
  std::memset(&v, 0xAA, sizeof v);
  ASSERT_EQ(PDUGetVersion(1, &v), PDU_STATUS_NOERROR);
  EXPECT_EQ(v.FwVersion, 5u);
  EXPECT_EQ(v.HwSerialNumber, 0u);

  home_.CopyData("PDUAPI_7318.ini");
  ASSERT_EQ(PDUGetVersion(1, &v), PDU_STATUS_NOERROR);
  EXPECT_STRNE(v.VendorName, "");
}

// Readings answer locally while the engine is busy; the other controls
// send nothing either.
TEST_F(ConstructTest, IoCtlsThatSendNothing) {
  Construct();
  vci_.ClearFrames();
  engine::Module().MarkExecuting();
  PDU_DATA_ITEM* out = nullptr;
  ASSERT_EQ(PDUIoCtl(1, 0, Id("PDU_IOCTL_READ_VBATT"), nullptr, &out), PDU_STATUS_NOERROR);
  const uint32_t mv = *static_cast<uint32_t*>(out->pData);
  EXPECT_GE(mv, 11846u);
  EXPECT_LE(mv, 12844u);
  PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(out));
  ASSERT_EQ(PDUIoCtl(1, 0, Id("PDU_IOCTL_READ_IGNITION_SENSE_STATE"), nullptr, &out), PDU_STATUS_NOERROR);
  EXPECT_EQ(*static_cast<uint32_t*>(out->pData), 1u);
  PDUDestroyItem(reinterpret_cast<PDU_ITEM*>(out));
  engine::Module().MarkIdle();
  struct Row { const char* name; T_PDU_ERROR result; };
  const Row rows[] = {{"PDU_IOCTL_GET_SSIDS", PDU_ERR_ID_NOT_SUPPORTED},
                      {"PDU_IOCTL_GET_WLAN_STATUS", PDU_ERR_ID_NOT_SUPPORTED},
                      {"PDU_IOCTL_GET_ETH_SWITCH_STATE", PDU_ERR_ID_NOT_SUPPORTED},
                      {"PDU_IOCTL_SET_PROG_VOLTAGE", PDU_STATUS_NOERROR},
                      {"PDU_IOCTL_RESET", PDU_STATUS_NOERROR}};
  for (const Row& row : rows) {
    out = reinterpret_cast<PDU_DATA_ITEM*>(0x20);
    uint32_t volts = 5000;
    PDU_DATA_ITEM in{PDU_IT_IO_PROG_VOLTAGE, &volts};
    EXPECT_EQ(PDUIoCtl(1, 0, Id(row.name), &in, &out), row.result) << row.name;
    EXPECT_EQ(out, reinterpret_cast<PDU_DATA_ITEM*>(0x20)) << row.name;
  }
  out = nullptr;
  EXPECT_EQ(PDUIoCtl(1, 0, 0xDEAD, nullptr, &out), PDU_STATUS_NOERROR);
  EXPECT_EQ(vci_.FrameCount(), 0u);
}

// Several threads destruct at once (a close button and an exit path), idle
// or with a ComPrimitive waiting for its answer: every call returns, one
// CLOSE goes out, and the first call or the one that raced it reports
// NOERROR while a call that came after the module was gone reports 0x11.
TEST_F(ConstructTest, ConcurrentDestructsAllReturnAndSendOneClose) {
  struct Case { int threads; bool inFlight; };
  const Case cases[] = {{2, false}, {8, false}, {2, true}, {8, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads" << (c.inFlight ? ", in flight" : ""));
    test::Watchdog watchdog(30000, "concurrent PDUDestruct");
    vci_.ClearFrames();
    Construct();
    if (c.inFlight) {
      // The VCI takes the ComPrimitive, the ECU never answers: the engine
      // waits for vehicle data while the threads destruct.
      vci_.Script(test::kCmdCop, {TestVci::Answer(test::kCmdCop, 0)});
      Start(ConnectedLink(), PDU_COPT_SENDRECV, {0x22, 0xF1, 0x00});
    }
    std::atomic<int> go{0};
    std::vector<T_PDU_ERROR> results(static_cast<size_t>(c.threads), 0xFFFFFFFFu);
    std::vector<std::thread> threads;
    for (int i = 0; i < c.threads; ++i) {
      threads.emplace_back([&, i] {
        while (go.load() == 0) std::this_thread::yield();
        results[static_cast<size_t>(i)] = PDUDestruct();
      });
    }
    go.store(1);
    for (auto& t : threads) t.join();
    int ok = 0;
    for (T_PDU_ERROR r : results) {
      EXPECT_TRUE(r == 0x00 || r == 0x11) << r;
      ok += r == 0x00 ? 1 : 0;
    }
    EXPECT_GE(ok, 1);
    EXPECT_EQ(vci_.FramesWithCommand(kCmdClose).size(), 1u);
    EXPECT_EQ(device::GetDeviceLink(), nullptr);
    EXPECT_FALSE(engine::EngineThreadRunning());
    watchdog.Disarm();
  }
}

// Constructions and destructions of many threads interleave: they take
// turns, so the module ends in one of the two whole states, never with a
// link and no engine thread or two engine threads.
TEST_F(ConstructTest, ConcurrentConstructsAndDestructsLeaveOneWholeState) {
  test::Watchdog watchdog(60000, "concurrent PDUConstruct and PDUDestruct");
  UseVci();
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([i] {
      if (i % 2 == 0) {
        EXPECT_EQ(PDUConstruct(nullptr, nullptr), PDU_STATUS_NOERROR);
      } else {
        const T_PDU_ERROR r = PDUDestruct();
        EXPECT_TRUE(r == 0x00 || r == 0x11) << r;
      }
    });
  }
  for (auto& t : threads) t.join();
  const bool constructed = device::GetDeviceLink() != nullptr;
  EXPECT_EQ(engine::EngineThreadRunning(), constructed);
  EXPECT_EQ(PDUDestruct(), constructed ? 0x00u : 0x11u);
  EXPECT_EQ(device::GetDeviceLink(), nullptr);
  watchdog.Disarm();
}

TEST(StatusName, KnownAndUnknownValues) {
  struct Row { uint32_t value; const char* name; };
  const Row rows[] = {
      {0x00, "<PDU_STATUS_NOERROR>"}, {0x11, "<PDU_ERR_COMM_PC_TO_VCI_FAILED>"}, {0x50, "<PDU_ERR_INVALID_PARAMETERS>"},
      {0x60, "<PDU_ERR_INVALID_HANDLE>"}, {0x71, "<PDU_ERR_EVENT_QUEUE_EMPTY>"}, {0xA4, "<PDU_ERR_API_SW_OUT_OF_DATA>"},
      {0xBC, "<PDU_ERR_DOIP_RESPNSE_TIMEOUT>"}, {0x02, "<PDU_ERR_UNKNOW>"}, {0xBD, "<PDU_ERR_UNKNOW>"},
      {0xFFFFFFFF, "<PDU_ERR_UNKNOW>"},
  };
  for (const Row& row : rows) EXPECT_STREQ(StatusName(row.value), row.name) << row.value;
}

// The unlock runs on another thread: the lock call released the ApiLock.
TEST(ResourceLock, BothCallsAnswerNoErrorWriteTheirLinesAndReleaseTheApiLock) {
  test::TempHome home;
  home.StartLog();
  EXPECT_EQ(PDULockResource(1, 2, 3), PDU_STATUS_NOERROR);
  auto unlock = std::async(std::launch::async, [] { return PDUUnlockResource(0, 0xFFFFFFFF, 0); });
  ASSERT_EQ(unlock.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(unlock.get(), PDU_STATUS_NOERROR);
  EXPECT_EQ(test::TempHome::ClosedMainLog(),
            "PDULockResource  <PDU_STATUS_NOERROR>\n"
            "\n"
            "PDUUnlockResource\n"
            "PDUUnlockResource  <PDU_STATUS_NOERROR>\n");
}

}  // namespace
}  // namespace pdu::api
