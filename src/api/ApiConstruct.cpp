// PDUConstruct and PDUDestruct: bring the module up (log, module
// description, VCI, engine thread) and down again.
//
// The per-link tables and the handle counters start afresh with every
// construction; callbacks, queued jobs and events survive on purpose, so an
// application that registered once keeps being told.
#include <string>

#include "api/ApiFrame.h"
#include "api/ApiState.h"
#include "api/StatusName.h"
#include "device/DeviceLink.h"
#include "device/DeviceCommands.h"
#include "engine/ApiLock.h"
#include "engine/CopQueues.h"
#include "engine/EngineThread.h"
#include "engine/EventItems.h"
#include "engine/LinkTables.h"
#include "log/PduLog.h"
#include "mdf/MdfTables.h"
#include "platform/Platform.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace api = pdu::api;
namespace device = pdu::device;
namespace engine = pdu::engine;
namespace mdf = pdu::mdf;
namespace plog = pdu::log;
namespace platform = pdu::platform;

namespace {

int Tick() { return static_cast<int>(platform::GetTickCount()); }

// The text shown when no VCI answers: "device not found; check that the
// driver is installed and the device plugged in".
constexpr const char* kNoDeviceMessage =
    "\xE6\x89\xBE\xE4\xB8\x8D\xE5\x88\xB0\xE8\xAE\xBE\xE5\xA4\x87\xEF\xBC\x8C\xE8\xAF\xB7\xE6\xA3\x80\xE6\x9F\xA5"
    "\xE6\x98\xAF\xE5\x90\xA6\xE5\xAE\x89\xE8\xA3\x85\xE5\xA5\xBD\xE9\xA9\xB1\xE5\x8A\xA8\xE6\x88\x96\xE6\x8F\x92"
    "\xE5\xA5\xBD\xE8\xAE\xBE\xE5\xA4\x87";

void ResetLinkState() {
  engine::ApiLockGuard lock(engine::ApiLock());
  api::g_hCLLCounter = 0;
  api::g_hCoPCounter = 0;
  for (auto& tag : engine::LinkTagTable) tag = nullptr;
  for (auto& handler : engine::LinkTable) handler.reset();
  api::Tp20ChannelTable.fill(0);
  engine::ResetResultData();
  engine::g_CopIdle.store(1);
}

void DropDeviceLink() {
  if (device::g_DeviceLink) device::g_DeviceLink->ClosePort();
  device::g_DeviceLink.reset();
}

}  // namespace

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUConstruct(CHAR8* OptionStr, void*) {
  return api::Guarded([&] {
    // Never two engine threads: a construction without destruction stops
    // the running one before the tables it reads are reset.
    engine::StopEngineThread();

    plog::LogInit();
    plog::LogMain("PDUConstruct %d", Tick());
    plog::LogMain("call exe:%s", platform::ExecutablePath().substr(0, 260).c_str());
    ResetLinkState();
    api::g_ModuleStatus.store(PDU_MODST_AVAIL);

    if (mdf::LoadMdfFile()) mdf::LoadMdfObjects();
    plog::LogMain("--------LoadXMLToResourceStruct");
    mdf::LoadXMLToResourceStruct();

    if (OptionStr != nullptr) {
      plog::LogMain("OptionsStr =%s", OptionStr);
      plog::LogMain("pAPITag = $00000000");
    } else {
      plog::LogMain("pName = NULL");
    }
    engine::g_QueueRun.store(0);

    if (!device::g_DeviceLink) device::g_DeviceLink = std::make_unique<device::DeviceLink>();
    if (device::g_DeviceLink->PortIsOpen()) device::g_DeviceLink->ClosePort();

    if (!device::g_DeviceLink->OpenPort()) {
      device::g_DeviceLink->ClosePort();
      plog::LogMain("Can't find comm");
      platform::ShowMessage(kNoDeviceMessage);
      platform::SleepMs(10);
      DropDeviceLink();
      return PDU_STATUS_NOERROR;
    }
    uint32_t openWord = 0;
    if (device::VciOpen(&openWord) != 0) {
      plog::LogMain("Open FAIL");
      DropDeviceLink();
      return PDU_STATUS_NOERROR;
    }
    engine::StartEngineThread();
    plog::LogMain("hPDUEventQueueThread thread = %d", 1);
    plog::LogMain("g_resource1= %d", static_cast<int>(mdf::ODXResourceTable().size()));
    plog::LogMain("PDUConstruct  %s %d", api::StatusName(PDU_STATUS_NOERROR), Tick());
    return PDU_STATUS_NOERROR;
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestruct(void) {
  return api::Guarded([] {
    {
      engine::ApiLockGuard lock(engine::ApiLock());
      plog::LogMain("\nPDUDestruct %d", Tick());
      if (!device::g_DeviceLink) {
        plog::LogMain("construct empty");
        plog::LogMain("PDUDestruct <PDU_ERR_COMM_PC_TO_VCI_FAILED> %d", Tick());
        return PDU_ERR_COMM_PC_TO_VCI_FAILED;
      }
    }
    // The job in progress finishes first and may need the ApiLock: wait
    // for the engine thread without holding it.
    engine::StopEngineThread();

    engine::ApiLockGuard lock(engine::ApiLock());
    if (!device::g_DeviceLink) return PDU_STATUS_NOERROR;  // destructed meanwhile
    const uint32_t closed = device::VciClose();
    DropDeviceLink();
    if (closed == 0) plog::LogMain("PDUDestruct <PDU_STATUS_NOERROR> %d", Tick());
    plog::LogCloseAll();
    return PDU_STATUS_NOERROR;
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUModuleConnect(UNUM32 hMod) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUModuleConnect");
    plog::LogMain("hMod = %d", static_cast<int>(hMod));
    T_PDU_ERROR result = PDU_STATUS_NOERROR;
    if (device::GetDeviceLink() != nullptr) result = device::VciModuleConnect(hMod);
    api::g_ModuleStatus.store(PDU_MODST_READY);
    return frame.Finish(result);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUModuleDisconnect(UNUM32 hMod) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUModuleDisconnect");
    const T_PDU_ERROR result = device::VciModuleDisconnect(hMod);
    api::g_ModuleStatus.store(PDU_MODST_AVAIL);
    return frame.Finish(result);
  });
}

}  // extern "C"
