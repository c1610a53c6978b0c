// PDUConstruct and PDUDestruct: bring the module up (log, module
// description, VCI, engine thread) and down again.
//
// The per-link tables and the handle counters start afresh with every
// construction; callbacks, queued jobs and events survive on purpose, so an
// application that registered once keeps being told.
#include <string>

#include "api/ApiFrame.h"
#include "engine/ModuleState.h"
#include "api/StatusName.h"
#include "device/DeviceLink.h"
#include "device/DeviceCommands.h"
#include "engine/ApiLock.h"
#include "engine/CopQueues.h"
#include "engine/EngineThread.h"
#include "engine/EventItems.h"
#include "engine/Lifetime.h"
#include "engine/LinkTables.h"
#include "log/PduLog.h"
#include "mdf/MdfTables.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "platform/Process.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace api = pdu::api;
namespace device = pdu::device;
namespace engine = pdu::engine;
namespace mdf = pdu::mdf;
namespace plog = pdu::log;
namespace platform = pdu::platform;
using pdu::api::Tick;

namespace {

// The text shown when no VCI answers: "device not found; check that the
// driver is installed and the device plugged in".
constexpr const char* kNoDeviceMessage =
    "\xE6\x89\xBE\xE4\xB8\x8D\xE5\x88\xB0\xE8\xAE\xBE\xE5\xA4\x87\xEF\xBC\x8C\xE8\xAF\xB7\xE6\xA3\x80\xE6\x9F\xA5"
    "\xE6\x98\xAF\xE5\x90\xA6\xE5\xAE\x89\xE8\xA3\x85\xE5\xA5\xBD\xE9\xA9\xB1\xE5\x8A\xA8\xE6\x88\x96\xE6\x8F\x92"
    "\xE5\xA5\xBD\xE8\xAE\xBE\xE5\xA4\x87";

void ResetLinkState() {
  engine::ModuleState& m = engine::Module();
  engine::ApiLockGuard lock(engine::g_ApiLock);
  m.ResetForConstruct();
}

// Takes the module's device link out (closing its port), or makes the first
// one. A construction without destruction reuses the object.
std::unique_ptr<device::DeviceLink> TakeDeviceLink() {
  engine::ModuleState& m = engine::Module();
  std::unique_ptr<device::DeviceLink> link;
  {
    engine::ApiLockGuard lock(engine::g_ApiLock);
    link = m.ReleaseDeviceLink();
  }
  if (!link) return std::make_unique<device::DeviceLink>();
  link->ClosePort();
  return link;
}

void DropDeviceLink() PDU_REQUIRES(engine::g_ApiLock) { engine::Module().SetDeviceLink(nullptr); }

// The construction proper, by the holder of the lifetime turn. Returns the
// stage it leaves the module in.
engine::Stage ConstructWithTurn(CHAR8* OptionStr) PDU_REQUIRES(engine::g_Lifetime) {
  engine::ModuleState& m = engine::Module();
  m.RememberConstructingProcess();
  // Never two engine threads: a construction without destruction stops
  // the running one before the tables it reads are reset.
  m.StopEngineThread();

  plog::LogInit();
  plog::LogMain("PDUConstruct %d", Tick());
  plog::LogMain("call exe:%s", platform::ExecutablePath().substr(0, 260).c_str());
  ResetLinkState();
  m.SetModuleStatus(PDU_MODST_AVAIL);

  if (mdf::LoadMdfFile()) mdf::LoadMdfObjects();
  plog::LogMain("--------LoadXMLToResourceStruct");
  mdf::LoadXMLToResourceStruct();

  if (OptionStr != nullptr) {
    plog::LogMain("OptionsStr =%s", OptionStr);
    plog::LogMain("pAPITag = $00000000");
  } else {
    plog::LogMain("pName = NULL");
  }
  m.CloseQueueStopped();

  // Discovery takes a second or more per port: it runs without the
  // ApiLock, on a link nobody else can see yet.
  std::unique_ptr<device::DeviceLink> link = TakeDeviceLink();
  if (!link->OpenPort()) {
    link.reset();
    plog::LogMain("Can't find comm");
    // Without the ApiLock: on Windows the box waits for the user's OK, and
    // other threads' calls must not wait with it (those that need the VCI
    // answer 0x11 meanwhile).
    platform::ShowMessage(kNoDeviceMessage);
    platform::ClockSleep(10);
    m.UnpinIfIdle();
    return engine::Stage::kUnconstructed;
  }
  {
    engine::ApiLockGuard lock(engine::g_ApiLock);
    m.SetDeviceLink(std::move(link));
    uint32_t openWord = 0;
    if (device::VciOpen(&openWord) != 0) {
      plog::LogMain("Open FAIL");
      DropDeviceLink();
      m.UnpinIfIdle();
      return engine::Stage::kUnconstructed;
    }
  }
  // While threads of ours run, our code must stay mapped even if the
  // application unloads the library: it is pinned until they are joined.
  platform::PinLibrary();
  m.StartEngineThread();
  plog::LogMain("hPDUEventQueueThread thread = %d", static_cast<int>(m.EngineThreadHandle()));
  plog::LogMain("g_resource1= %d", static_cast<int>(mdf::ODXResourceTable().size()));
  plog::LogMain("PDUConstruct  %s %d", api::StatusName(PDU_STATUS_NOERROR), Tick());
  return engine::Stage::kConstructed;
}

// PDUDestruct's answer when there is no module to destruct.
T_PDU_ERROR DestructEmpty() {
  engine::ApiLockGuard lock(engine::g_ApiLock);
  plog::LogMain("\nPDUDestruct %d", Tick());
  plog::LogMain("construct empty");
  plog::LogMain("PDUDestruct <PDU_ERR_COMM_PC_TO_VCI_FAILED> %d", Tick());
  return PDU_ERR_COMM_PC_TO_VCI_FAILED;
}

// Stops the engine, sends CLOSE, drops the link and closes the log, by the
// holder of the lifetime turn, which found the module constructed.
void DestructWithTurn() PDU_REQUIRES(engine::g_Lifetime) {
  engine::ModuleState& m = engine::Module();
  {
    engine::ApiLockGuard lock(engine::g_ApiLock);
    plog::LogMain("\nPDUDestruct %d", Tick());
  }
  // The job in progress finishes first and may need the ApiLock: wait
  // for the engine thread without holding it. From a callback the engine
  // thread is only told to stop; it is joined later (the next
  // construction, a PDUDestruct, or the teardown).
  m.StopEngineThread();

  engine::ApiLockGuard lock(engine::g_ApiLock);
  const uint32_t closed = device::VciClose();
  DropDeviceLink();
  if (closed == 0) plog::LogMain("PDUDestruct <PDU_STATUS_NOERROR> %d", Tick());
  plog::LogCloseAll();
  if (m.OnEngineThread()) m.GivePinAtEngineEnd();
  m.UnpinIfIdle();
}

}  // namespace

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUConstruct(CHAR8* OptionStr, void*) {
  return api::Guarded([&] {
    if (engine::OnEngineThread()) {
      // From inside a callback: stopping the engine thread would mean
      // joining the thread that runs this call. The running session goes
      // on untouched.
      plog::LogMain("PDUConstruct from an event callback refused: the module is constructed");
      return PDU_ERR_FCT_FAILED;
    }
    // Any number of threads may construct and destruct at once: they take
    // turns, each seeing the module as the previous one left it.
    engine::LifetimeTurn turn(engine::Stage::kConstructing, engine::Lifetime::kNoBound);
    if (!turn.held()) return PDU_ERR_FCT_FAILED;  // the process is ending
    turn.Leave(ConstructWithTurn(OptionStr));
    return PDU_STATUS_NOERROR;
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestruct(void) {
  return api::Guarded([] {
    // From a callback the turn is never waited for: its holder may be
    // joining this very thread.
    const bool fromCallback = engine::OnEngineThread();
    engine::LifetimeTurn turn(engine::Stage::kDestructing, fromCallback ? 0 : engine::Lifetime::kNoBound);
    if (!turn.held()) {
      if (turn.found() == engine::Stage::kConstructing) {
        plog::LogMain("PDUDestruct from an event callback refused: a construction is running");
        return PDU_ERR_FCT_FAILED;
      }
      return DestructEmpty();  // another thread destructs it, or the process ends
    }
    if (turn.found() != engine::Stage::kConstructed) {
      // Unconstructed. An engine thread a callback's PDUDestruct left
      // behind is joined now if it has ended, and the pin given back.
      if (!fromCallback && engine::Module().JoinLeftEngineThread(engine::kLeftThreadJoinMs)) {
        engine::Module().UnpinIfIdle();
      }
      return DestructEmpty();
    }
    turn.Leave(engine::Stage::kUnconstructed);
    DestructWithTurn();
    return PDU_STATUS_NOERROR;
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUModuleConnect(UNUM32 hMod) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUModuleConnect");
    plog::LogMain("hMod = %d", static_cast<int>(hMod));
    T_PDU_ERROR result = PDU_STATUS_NOERROR;
    if (device::GetDeviceLink() != nullptr) result = device::VciModuleConnect(hMod);
    engine::Module().SetModuleStatus(PDU_MODST_READY);
    return frame.Finish(result);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUModuleDisconnect(UNUM32 hMod) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUModuleDisconnect");
    const T_PDU_ERROR result = device::VciModuleDisconnect(hMod);
    engine::Module().SetModuleStatus(PDU_MODST_AVAIL);
    return frame.Finish(result);
  });
}

}  // extern "C"
