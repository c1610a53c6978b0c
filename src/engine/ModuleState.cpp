#include "engine/ModuleState.h"

#include <chrono>
#include <cstring>

#include "device/DeviceCommands.h"
#include "device/DeviceLink.h"
#include "engine/EngineThread.h"
#include "engine/EventItems.h"
#include "log/PduLog.h"
#include "mdf/MdfTables.h"
#include "platform/Platform.h"
#include "platform/Process.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {
namespace {

// Bounds of the library's teardown at process exit, which must end within
// 2 s whatever the application left running. The turn: another thread that
// is inside PDUDestruct normally finishes within a few milliseconds (its
// CLOSE answer) plus a callback in progress. The engine thread: a job in
// progress is told to stop waiting for the VCI, so the thread normally ends
// within a millisecond; only a callback of the application that does not
// return keeps it longer. The ApiLock: the engine has just been told to
// stop, but an API call of another thread still running at exit may hold
// it for good. With the CLOSE command's own 1000 ms the exit stays under
// 2 s when nothing else holds the turn.
constexpr uint32_t kExitTurnWaitMs = 1000;
constexpr uint32_t kExitJoinBoundMs = 500;
constexpr uint32_t kExitLockWaitMs = 300;

std::atomic<ModuleState*> g_Module{nullptr};

// Threads given up without a join (a callback that never returns, exit()
// from a callback, the Windows process end): their objects are kept here,
// reachable, for the rest of the process (a std::thread destroyed while
// joinable would end the process).
constexpr int kMaxAbandoned = 4;
std::thread* g_AbandonedThreads[kMaxAbandoned] = {};
std::atomic<int> g_AbandonedCount{0};

void Abandon(std::thread& thread) {
  if (!thread.joinable()) return;
  auto* kept = new std::thread(std::move(thread));
  const int slot = g_AbandonedCount.fetch_add(1);
  if (slot < kMaxAbandoned) g_AbandonedThreads[slot] = kept;
}

// The library's teardown (platform::SetLibraryTeardown): runs when the
// library is unloaded or the process ends, after the application's exit
// handlers and static destructors.
void TearDownModule() {
  ModuleState* m = g_Module.load();
  if (m == nullptr) return;
  if (platform::ProcessIsEnding()) {
    // Windows process end, inside the loader lock, the other threads gone.
    g_Lifetime.MarkEnded();
    m->AbandonAtProcessEnd();
    return;
  }
  // A forked child that never ran the fork handler (a raw clone): the
  // module is the parent's, and so are its VCI and its log.
  if (!m->InConstructingProcess()) return;
  const bool exiting = platform::ProcessIsExiting();
  // At exit other threads of the application may still call in, so the
  // state stays; at unload (after PDUDestruct, or never constructed) it is
  // released, so that unloading returns every byte.
  if (m->TearDown(exiting) && !exiting) {
    g_Module.store(nullptr);
    delete m;
    mdf::ReleaseMdfTables();
  }
}

// In a forked child, right after fork(), on its only thread. The parent's
// engine and receive threads did not come along, and any lock one of its
// threads held stays locked in the child for good. So the child forgets
// the parent's module without touching it: the state (with its thread
// objects and DeviceLink) is abandoned, the lifetime, the ApiLock and the
// log start afresh, and the log files stay the parent's (dropped, not
// closed). The child is unconstructed, as a fresh process; its exit does
// nothing.
// The parent's state, kept reachable in the child for the rest of its life.
ModuleState* g_ParentModule = nullptr;

void ForgetParentModule() {
  g_ParentModule = g_Module.exchange(nullptr);
  g_Lifetime.ForgetAfterFork();
  g_ApiLock.ReinitAfterFork();
  log::ForgetFilesAfterFork();
  device::ResetDeviceRoom();
}

// Registered while the library is loaded; nothing here has a destructor,
// so no part of the module is torn down by the C++ exit sequence itself.
[[maybe_unused]] const bool g_TeardownRegistered =
    (platform::SetLibraryTeardown(&TearDownModule), platform::SetForkChildHandler(&ForgetParentModule), true);

}  // namespace

ModuleState& Module() {
  ModuleState* m = g_Module.load(std::memory_order_acquire);
  if (m != nullptr) return *m;
  // First use. Two threads may race here; one object wins, the other is
  // released before anyone saw it.
  auto* fresh = new ModuleState();
  ModuleState* expected = nullptr;
  if (g_Module.compare_exchange_strong(expected, fresh)) return *fresh;
  delete fresh;
  return *expected;
}

void ResetModule() {
  if (ModuleState* m = g_Module.load()) {
    LifetimeTurn turn(Stage::kDestructing, Lifetime::kNoBound);
    m->StopEngineThread();
    m->JoinLeftEngineThread(Lifetime::kNoBound);
    std::unique_ptr<device::DeviceLink> link;
    {
      ApiLockGuard lock(g_ApiLock);
      link = m->ReleaseDeviceLink();
    }
    if (link) link->ClosePort();
  }
  delete g_Module.exchange(nullptr);
  ModuleState::ResetStateOutside();
  g_Lifetime.Reset();
}

void ModuleState::ResetStateOutside() {
  mdf::ReleaseMdfTables();
  log::LogCloseAll();
  device::ResetDeviceRoom();
  platform::UnpinLibrary();
}

ModuleState::ModuleState() { RememberConstructingProcess(); }

ModuleState::~ModuleState() {
  // Only reached with every thread joined (see TearDownModule).
  platform::RecursiveMutexLock lock(g_ApiLock);
  for (CopJob& job : CopJobQueue) ReleaseJob(job);
  for (CopEvent& event : CopEventQueue) FreeResultData(event.pResultData);
  device::SetDeviceLink(nullptr);
}

void ModuleState::SetDeviceLink(std::unique_ptr<device::DeviceLink> link) {
  device::SetDeviceLink(link.get());
  std::unique_ptr<device::DeviceLink> old = std::move(g_DeviceLink);
  g_DeviceLink = std::move(link);
  if (old) old->ClosePort();
}

std::unique_ptr<device::DeviceLink> ModuleState::ReleaseDeviceLink() {
  device::SetDeviceLink(nullptr);
  return std::move(g_DeviceLink);
}

// ---- API room and links ------------------------------------------------

size_t ModuleState::Tp20ChannelsHeld() const {
  size_t n = 0;
  for (uint32_t v : Tp20ChannelTable) n += v;
  return n;
}

void ModuleState::ResetForConstruct() {
  g_hCLLCounter = 0;
  g_hCoPCounter = 0;
  for (auto& tag : LinkTagTable) tag = nullptr;
  for (auto& handler : LinkTable) handler.reset();
  Tp20ChannelTable.fill(0);
  ResetResult();
  g_CopIdle.store(1);
}

protocol::ZPDUProtocolHandling* ModuleState::LinkHandler(uint32_t hCLL) const {
  return hCLL < kLinkTableSize ? LinkTable[hCLL].get() : nullptr;
}

void ModuleState::SetLinkHandler(uint32_t hCLL, std::unique_ptr<protocol::ZPDUProtocolHandling> handler) {
  LinkTable.at(hCLL) = std::move(handler);
}

// ---- jobs and events ------------------------------------------------------

void ModuleState::Enqueue(const CopJob& job) {
  CopJob queued = job;
  queued.CopCtrl.pFlagData = nullptr;
  if (job.CopCtrl.NumFlagBytes != 0 && job.CopCtrl.pFlagData != nullptr) {
    queued.CopCtrl.pFlagData = new uint8_t[job.CopCtrl.NumFlagBytes];
    std::memcpy(queued.CopCtrl.pFlagData, job.CopCtrl.pFlagData, job.CopCtrl.NumFlagBytes);
  }
  CopJobQueue.push_back(queued);
  // The last job is kept without its TxFlag bytes: nothing reads them from
  // there, and the record then owns no memory.
  g_CopJob = job;
  g_CopJob.CopCtrl.pFlagData = nullptr;
  g_CopJob.CopCtrl.NumFlagBytes = 0;
  WakeEngine();
}

void ModuleState::StartLastJobForLink(uint32_t hCLL) {
  g_CopJob = CopJob{};
  g_CopJob.hCLL = hCLL;
}

void ModuleState::KeepSizeAndCtrlOfSpentJob(const CopJob& job) {
  g_CopJob.CoPDataSize = job.CoPDataSize;
  g_CopJob.CopCtrl = job.CopCtrl;
  g_CopJob.CopCtrl.pFlagData = nullptr;
  g_CopJob.CopCtrl.NumFlagBytes = 0;
}

const CopJob* ModuleState::FrontJob() const { return CopJobQueue.empty() ? nullptr : &CopJobQueue.front(); }

void ModuleState::DropFrontJob() {
  if (CopJobQueue.empty()) return;
  ReleaseJob(CopJobQueue.front());
  CopJobQueue.pop_front();
}

CopJob ModuleState::LastQueuedJob() const { return CopJobQueue.empty() ? CopJob{} : CopJobQueue.back(); }

bool ModuleState::TakeEventOf(uint32_t hCLL, CopEvent& out) {
  // One pass over the queue; the first event of the link leaves it, the
  // others keep their places.
  for (auto it = CopEventQueue.begin(); it != CopEventQueue.end(); ++it) {
    if (it->hCLL == hCLL) {
      out = *it;
      CopEventQueue.erase(it);
      return true;
    }
  }
  return false;
}

void ModuleState::SetQueueRun(uint32_t value) {
  // Every ComPrimitive sets it to 1 right after Enqueue has woken the
  // engine; a second wake-up for an unchanged flag only made the engine
  // thread meet the waker on the wake-up mutex.
  if (g_QueueRun.exchange(value) != value) WakeEngine();
}

PDU_RESULT_DATA* ModuleState::NewResult() {
  g_ResultOwner = protocol::MakeResultData();
  g_ResultData = g_ResultOwner.get();
  return g_ResultData;
}

void ModuleState::ResetResult() {
  g_ResultOwner.reset();
  g_ResultData = nullptr;
}

// ---- engine thread --------------------------------------------------------

uint64_t ModuleState::WakeEngine() {
  uint64_t wake = 0;
  {
    platform::MutexLock lock(m_WakeMutex);
    wake = ++m_WakeSeq;
  }
  m_WakeCv.notify_all();
  return wake;
}

bool ModuleState::WaitWakeHandled(uint64_t wake, uint32_t ms) {
  // Announced before the look under the lock: the engine either sees the
  // waiter and notifies under the lock, or stored its pass before the look.
  m_WakeHandledWaiters.fetch_add(1);
  bool handled = false;
  {
    platform::MutexLock lock(m_WakeMutex);
    handled = lock.WaitFor(m_WakeHandledCv, ms, [&] { return m_WakeHandled.load() >= wake; });
  }
  m_WakeHandledWaiters.fetch_sub(1);
  return handled;
}

bool ModuleState::OnEngineThread() const {
  return m_EngineThreadId.load() == std::this_thread::get_id();
}

uint64_t ModuleState::EngineThreadHandle() { return platform::ThreadHandleValue(hPDUEventQueueThread); }

bool ModuleState::EngineThreadRunning() const { return m_EngineInLoop.load() != 0; }

void ModuleState::StartEngineThread() {
  StopEngineThread();
  JoinLeftEngineThread(Lifetime::kNoBound);
  device::ResumeVehicleDataWaits();
  g_ThreadRun.store(1);
  m_EngineInLoop.store(1);
  hPDUEventQueueThread = std::thread([this] { PduEventQueueThread(); });
  m_EngineThreadId.store(hPDUEventQueueThread.get_id());
}

void ModuleState::SignalEngineStop() {
  g_QueueRun.store(0);
  g_ThreadRun.store(0);
  device::AbortVehicleDataWaits();  // a ComPrimitive on a busy bus ends at its next pass
  WakeEngine();
}

void ModuleState::StopEngineThread() {
  SignalEngineStop();
  // From a callback the thread cannot join itself; it ends when the
  // callback returns and is left to join.
  if (!OnEngineThread()) JoinLeftEngineThread(Lifetime::kNoBound);
}

bool ModuleState::JoinLeftEngineThread(uint32_t boundMs) {
  if (!hPDUEventQueueThread.joinable()) return true;
  if (hPDUEventQueueThread.get_id() == std::this_thread::get_id()) return false;
  if (boundMs != Lifetime::kNoBound) {
    platform::MutexLock lock(m_WakeMutex);
    if (!lock.WaitFor(m_EngineExit, boundMs, [&] { return m_EngineInLoop.load() == 0; })) return false;
  }
  hPDUEventQueueThread.join();
  m_EngineThreadId.store(std::thread::id{});
  m_EngineLeftOurCode.store(false);
  return true;
}

void ModuleState::UnpinIfIdle() PDU_NO_THREAD_SAFETY_ANALYSIS {
  // g_DeviceLink changes only under the turn, which the caller holds.
  if (!hPDUEventQueueThread.joinable() && !g_DeviceLink) platform::UnpinLibrary();
}

void ModuleState::PduEventQueueThread() {
  // Known before the first job, whatever the starter does meanwhile.
  m_EngineThreadId.store(std::this_thread::get_id());
  uint64_t seen = 0;
  while (g_ThreadRun.load() == 1) {
    {
      platform::MutexLock lock(m_WakeMutex);
      lock.Wait(m_WakeCv, [&]() PDU_NO_THREAD_SAFETY_ANALYSIS {
        return g_ThreadRun.load() != 1 || m_WakeSeq != seen;
      });
      seen = m_WakeSeq;
    }
    // Run every job that is there while the queue is open.
    while (g_ThreadRun.load() == 1 && g_QueueRun.load() == 1) {
      CopJob job;
      {
        ApiLockGuard lock(g_ApiLock);
        const CopJob* front = FrontJob();
        if (front == nullptr) break;
        job = *front;
      }
      RunJob(job);
    }
    // Nobody waits for a pass but a test: no lock on this path then.
    m_WakeHandled.store(seen);
    if (m_WakeHandledWaiters.load() != 0) {
      { platform::MutexLock lock(m_WakeMutex); }
      m_WakeHandledCv.notify_all();
    }
  }
  log::LogMain("queue quit");
  const bool givePin = m_GivePinAtEngineEnd.exchange(false);
  {
    platform::MutexLock lock(m_WakeMutex);
    m_EngineInLoop.store(0);
  }
  m_EngineExit.notify_all();
  // After a PDUDestruct made from a callback the library's pin is still
  // held for this thread. Where the OS can end a thread and give back a
  // reference on its library in one step (Windows), it does so as this
  // thread's very last act, so an application's FreeLibrary after that
  // PDUDestruct unloads the DLL without anyone joining this thread under
  // the loader lock. Elsewhere the pin stays until the join.
  if (givePin) {
    m_EngineLeftOurCode.store(true);  // from here on, no code of ours runs on it
    platform::ExitThreadGivingBackPin();
    m_EngineLeftOurCode.store(false);  // the platform cannot: the pin stays until the join
  }
}

// ---- the end ---------------------------------------------------------------

void ModuleState::RememberConstructingProcess() { m_ConstructingProcess.store(platform::CurrentProcessId()); }

bool ModuleState::InConstructingProcess() const {
  return m_ConstructingProcess.load() == platform::CurrentProcessId();
}

bool ModuleState::TearDown(bool exiting) {
  if (exiting) m_Exiting.store(1);
  LifetimeTurn turn(Stage::kDestructing, exiting ? kExitTurnWaitMs : 0);
  if (exiting) g_Lifetime.MarkEnded();
  if (!turn.held()) {
    // Another thread still constructs or destructs (its work is cut short
    // by the process's end), or an unload while a call runs: nothing here
    // is touched.
    if (exiting) log::LogMain("exit: the module is busy on another thread, left as it is");
    return false;
  }
  turn.Leave(Stage::kUnconstructed);
  switch (turn.found()) {
    case Stage::kConstructed:
      return ShutDownConstructed();
    case Stage::kUnconstructed:
      if (hPDUEventQueueThread.joinable() && (OnEngineThread() || m_EngineLeftOurCode.load())) {
        // The unload runs on the engine thread inside its last act of
        // giving back the pin, or on another thread just after it: either
        // way the thread never returns into this library, and joining it
        // here, under the loader lock, could wait for its end, which needs
        // that lock. Its object is let go.
        hPDUEventQueueThread.detach();
        return true;
      }
      return JoinLeftEngineThread(kExitJoinBoundMs);
    case Stage::kConstructing:
    case Stage::kDestructing:
    case Stage::kEnded:
      break;
  }
  return false;
}

// The process ends (or the library is unloaded) while the module is still
// constructed: the VCI would keep its links open until it is unplugged, so
// it gets the CLOSE that PDUDestruct would have sent. Best effort and
// bounded: the engine thread gets kExitJoinBoundMs to leave its job, the
// ApiLock is waited for at most kExitLockWaitMs, the command itself waits
// at most its own 1000 ms, and a CLOSE that gets no answer is not repeated.
// A thread that did not end (a callback that never returns, or this very
// thread: exit() from a callback) is left to the process's end together
// with the port and the state it may use.
bool ModuleState::ShutDownConstructed() PDU_NO_THREAD_SAFETY_ANALYSIS {
  SignalEngineStop();
  bool ended = false;
  if (OnEngineThread()) {
    Abandon(hPDUEventQueueThread);
  } else {
    ended = JoinLeftEngineThread(kExitJoinBoundMs);
    if (!ended) {
      log::LogMain("exit: the engine thread did not end within %u ms, left running", kExitJoinBoundMs);
      Abandon(hPDUEventQueueThread);
    }
  }
  // The ApiLock through a wait the sanitizers see (TimedLock).
  if (!g_ApiLock.TryLockFor(kExitLockWaitMs)) {
    log::LogMain("exit: ApiLock busy, no CLOSE");
    log::LogCloseAll();
    return false;
  }
  bool whole = false;
  {
    ApiLockGuard lock(g_ApiLock, std::adopt_lock);
    if (g_DeviceLink && g_DeviceLink->PortIsOpen()) {
      log::LogMain("exit while constructed: CLOSE");
      device::VciClose();
    }
    if (ended) {
      // The receive thread: ClosePort wakes its blocked read and joins it.
      std::unique_ptr<device::DeviceLink> link = ReleaseDeviceLink();
      if (link) link->ClosePort();
      whole = true;
    }
  }
  log::LogCloseAll();
  if (whole) UnpinIfIdle();
  return whole;
}

void ModuleState::AbandonAtProcessEnd() {
  // Windows, process exit: this runs inside the loader lock after the OS
  // has ended every other thread. Joining would wait for threads that will
  // never run again (and a thread's end needs the loader lock), and their
  // objects must not be destroyed while "joinable". So the thread objects
  // are left as they are and nothing is released; the log lines are
  // already on disk (each is flushed when written). No CLOSE to the VCI
  // either: its answer would be read by the receive thread, which the OS
  // has already ended, so the command could only run into its full
  // timeout inside the loader lock and still not know whether the VCI
  // heard it.
  m_Exiting.store(1);
  Abandon(hPDUEventQueueThread);
  if (g_DeviceLink) g_DeviceLink->AbandonOnProcessExit();
  g_DeviceLink.release();  // deliberately leaked with its receive thread
}

}  // namespace pdu::engine
