// The module's bring-up and tear-down, as PDUConstruct and PDUDestruct ask
// for them: log, module description, VCI discovery and OPEN, the pin, the
// engine thread; and back (engine stopped, CLOSE, port and log closed).
//
// The per-link tables and the handle counters start afresh with every
// construction; callbacks, queued jobs and events survive on purpose, so an
// application that registered once keeps being told.
#include "engine/Construction.h"

#include <memory>
#include <string>

#include "device/DeviceCommands.h"
#include "device/DeviceLink.h"
#include "engine/ApiLock.h"
#include "engine/EngineThread.h"
#include "engine/Lifetime.h"
#include "engine/ModuleState.h"
#include "log/PduLog.h"
#include "mdf/MdfTables.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "platform/Process.h"

namespace pdu::engine {

namespace plog = pdu::log;

namespace {

int Tick() { return static_cast<int>(platform::ClockTicks()); }

// The text shown when no VCI answers: "device not found; check that the
// driver is installed and the device plugged in".
constexpr const char* kNoDeviceMessage =
    "\xE6\x89\xBE\xE4\xB8\x8D\xE5\x88\xB0\xE8\xAE\xBE\xE5\xA4\x87\xEF\xBC\x8C\xE8\xAF\xB7\xE6\xA3\x80\xE6\x9F\xA5"
    "\xE6\x98\xAF\xE5\x90\xA6\xE5\xAE\x89\xE8\xA3\x85\xE5\xA5\xBD\xE9\xA9\xB1\xE5\x8A\xA8\xE6\x88\x96\xE6\x8F\x92"
    "\xE5\xA5\xBD\xE8\xAE\xBE\xE5\xA4\x87";

void ResetLinkState() {
  ModuleState& m = Module();
  ApiLockGuard lock(g_ApiLock);
  m.ResetForConstruct();
}

// Takes the module's device link out (closing its port), or makes the first
// one. A construction without destruction reuses the object.
std::unique_ptr<device::DeviceLink> TakeDeviceLink() {
  ModuleState& m = Module();
  std::unique_ptr<device::DeviceLink> link;
  {
    ApiLockGuard lock(g_ApiLock);
    link = m.ReleaseDeviceLink();
  }
  if (!link) return std::make_unique<device::DeviceLink>();
  link->ClosePort();
  return link;
}

void DropDeviceLink() PDU_REQUIRES(g_ApiLock) { Module().SetDeviceLink(nullptr); }

// The construction proper, by the holder of the lifetime turn. Returns the
// stage it leaves the module in.
Stage ConstructWithTurn(const char* OptionStr) PDU_REQUIRES(g_Lifetime) {
  ModuleState& m = Module();
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
    return Stage::kUnconstructed;
  }
  {
    ApiLockGuard lock(g_ApiLock);
    m.SetDeviceLink(std::move(link));
    uint32_t openWord = 0;
    if (device::VciOpen(&openWord) != 0) {
      plog::LogMain("Open FAIL");
      DropDeviceLink();
      m.UnpinIfIdle();
      return Stage::kUnconstructed;
    }
  }
  // While threads of ours run, our code must stay mapped even if the
  // application unloads the library: it is pinned until they are joined.
  platform::PinLibrary();
  m.StartEngineThread();
  plog::LogMain("hPDUEventQueueThread thread = %d", static_cast<int>(m.EngineThreadHandle()));
  plog::LogMain("g_resource1= %d", static_cast<int>(mdf::ODXResourceTable().size()));
  plog::LogMain("PDUConstruct  <PDU_STATUS_NOERROR> %d", Tick());
  return Stage::kConstructed;
}

// PDUDestruct's answer when there is no module to destruct.
T_PDU_ERROR DestructEmpty() {
  ApiLockGuard lock(g_ApiLock);
  plog::LogMain("\nPDUDestruct %d", Tick());
  plog::LogMain("construct empty");
  plog::LogMain("PDUDestruct <PDU_ERR_COMM_PC_TO_VCI_FAILED> %d", Tick());
  return PDU_ERR_COMM_PC_TO_VCI_FAILED;
}

// Stops the engine, sends CLOSE, drops the link and closes the log, by the
// holder of the lifetime turn, which found the module constructed.
void DestructWithTurn() PDU_REQUIRES(g_Lifetime) {
  ModuleState& m = Module();
  {
    ApiLockGuard lock(g_ApiLock);
    plog::LogMain("\nPDUDestruct %d", Tick());
  }
  // The job in progress finishes first and may need the ApiLock: wait
  // for the engine thread without holding it. From a callback the engine
  // thread is only told to stop; it is joined later (the next
  // construction, a PDUDestruct, or the teardown).
  m.StopEngineThread();

  ApiLockGuard lock(g_ApiLock);
  const uint32_t closed = device::VciClose();
  DropDeviceLink();
  if (closed == 0) plog::LogMain("PDUDestruct <PDU_STATUS_NOERROR> %d", Tick());
  plog::LogCloseAll();
  if (m.OnEngineThread()) m.GivePinAtEngineEnd();
  m.UnpinIfIdle();
}


}  // namespace

T_PDU_ERROR ConstructModule(const char* options) {
  if (OnEngineThread()) {
    // From inside a callback: stopping the engine thread would mean
    // joining the thread that runs this call. The running session goes
    // on untouched.
    plog::LogMain("PDUConstruct from an event callback refused: the module is constructed");
    return PDU_ERR_FCT_FAILED;
  }
  // Any number of threads may construct and destruct at once: they take
  // turns, each seeing the module as the previous one left it.
  LifetimeTurn turn(Stage::kConstructing, Lifetime::kNoBound);
  if (!turn.held()) return PDU_ERR_FCT_FAILED;  // the process is ending
  turn.Leave(ConstructWithTurn(options));
  return PDU_STATUS_NOERROR;
}

T_PDU_ERROR DestructModule() {
  // From a callback the turn is never waited for: its holder may be
  // joining this very thread.
  const bool fromCallback = OnEngineThread();
  LifetimeTurn turn(Stage::kDestructing, fromCallback ? 0 : Lifetime::kNoBound);
  if (!turn.held()) {
    if (turn.found() == Stage::kConstructing) {
      plog::LogMain("PDUDestruct from an event callback refused: a construction is running");
      return PDU_ERR_FCT_FAILED;
    }
    return DestructEmpty();  // another thread destructs it, or the process ends
  }
  if (turn.found() != Stage::kConstructed) {
    // Unconstructed. An engine thread a callback's PDUDestruct left
    // behind is joined now if it has ended, and the pin given back.
    if (!fromCallback && Module().JoinLeftEngineThread(kLeftThreadJoinMs)) Module().UnpinIfIdle();
    return DestructEmpty();
  }
  turn.Leave(Stage::kUnconstructed);
  DestructWithTurn();
  return PDU_STATUS_NOERROR;
}

}  // namespace pdu::engine
