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

// How long teardown at process exit waits for the engine thread to leave
// its loop. A job in progress is told to stop waiting for the VCI, so the
// thread normally ends within a millisecond; only a callback of the
// application that does not return (it may wait for the very thread that
// is exiting) keeps it longer, and the process must still end. Together
// with the CLOSE command's own 1000 ms it keeps the whole teardown under
// 2 s.
constexpr uint32_t kExitJoinBoundMs = 500;
// How long the CLOSE at exit waits for the ApiLock (CloseVciAtExit).
constexpr uint32_t kExitLockWaitMs = 300;
std::atomic<ModuleState*> g_Module{nullptr};

// Threads given up without a join (see Shutdown): their objects are kept
// here, reachable, for the rest of the process (a std::thread destroyed
// while joinable would end the process).
constexpr int kMaxAbandoned = 4;
std::thread* g_AbandonedThreads[kMaxAbandoned] = {};
std::atomic<int> g_AbandonedCount{0};

void Abandon(std::thread& thread) {
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
  const bool processEnding = platform::ProcessIsEnding();
  m->Shutdown(processEnding);
  // A thread that could not be joined may still use the state: then it
  // stays (the process is ending anyway). Otherwise it is released, so
  // that unloading after PDUDestruct returns every byte.
  if (!m->EngineThreadRunning() && !processEnding) {
    g_Module.store(nullptr);
    delete m;
    mdf::ReleaseMdfTables();
  }
}

// Registered while the library is loaded; nothing here has a destructor,
// so no part of the module is torn down by the C++ exit sequence itself.
[[maybe_unused]] const bool g_TeardownRegistered = (platform::SetLibraryTeardown(&TearDownModule), true);

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
  ModuleState* m = g_Module.exchange(nullptr);
  if (m != nullptr) {
    m->StopEngineThread();
    std::unique_ptr<device::DeviceLink> link;
    {
      ApiLockGuard lock(g_ApiLock);
      link = m->ReleaseDeviceLink();
    }
    if (link) link->ClosePort();
    link.reset();
    delete m;
  }
  ModuleState::ResetStateOutside();
}

void ModuleState::ResetStateOutside() {
  mdf::ReleaseMdfTables();
  log::LogCloseAll();
  device::ResetDeviceRoom();
  platform::UnpinLibrary();
}

ModuleState::ModuleState() = default;

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

void ModuleState::WakeEngine() {
  {
    platform::MutexLock lock(m_WakeMutex);
    ++g_WakeSeq;
  }
  m_WakeCv.notify_all();
}

bool ModuleState::OnEngineThread() const {
  return m_EngineThreadId.load() == std::this_thread::get_id();
}

uint64_t ModuleState::EngineThreadHandle() {
  platform::MutexLock lock(m_ThreadMutex);
  if (!hPDUEventQueueThread.joinable()) return 0;
  return platform::ThreadHandleValue(hPDUEventQueueThread);
}

bool ModuleState::EngineThreadRunning() const { return m_EngineInLoop.load() != 0; }

void ModuleState::StartEngineThread() {
  StopEngineThread();
  platform::MutexLock lock(m_ThreadMutex);
  JoinEngineThread();  // one a callback stopped (it could not join itself)
  device::ResumeVehicleDataWaits();
  g_ThreadRun.store(1);
  m_EngineInLoop.store(1);
  hPDUEventQueueThread = std::thread([this] { PduEventQueueThread(); });
  m_EngineThreadId.store(hPDUEventQueueThread.get_id());
}

void ModuleState::StopEngineThread() {
  g_QueueRun.store(0);
  g_ThreadRun.store(0);
  device::AbortVehicleDataWaits();  // a ComPrimitive on a busy bus ends at its next pass
  WakeEngine();
  if (OnEngineThread()) {
    // Called from the application's callback on the engine thread itself:
    // the thread ends when the callback returns; the next start joins it.
    // (Taking the thread lock here could wait for a thread that is
    // joining this one.)
    return;
  }
  platform::MutexLock lock(m_ThreadMutex);
  JoinEngineThread();
}

void ModuleState::JoinEngineThread() {
  if (!hPDUEventQueueThread.joinable()) return;
  if (hPDUEventQueueThread.get_id() == std::this_thread::get_id()) return;
  hPDUEventQueueThread.join();
  m_EngineThreadId.store(std::thread::id{});
}

void ModuleState::PduEventQueueThread() {
  // Known before the first job, whatever the starter does meanwhile.
  m_EngineThreadId.store(std::this_thread::get_id());
  uint64_t seen = 0;
  while (g_ThreadRun.load() == 1) {
    {
      platform::MutexLock lock(m_WakeMutex);
      lock.Wait(m_WakeCv, [&]() PDU_NO_THREAD_SAFETY_ANALYSIS {
        return g_ThreadRun.load() != 1 || g_WakeSeq != seen;
      });
      seen = g_WakeSeq;
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
  }
  log::LogMain("queue quit");
  {
    platform::MutexLock lock(m_WakeMutex);
    m_EngineInLoop.store(0);
  }
  m_EngineExit.notify_all();
}

// ---- teardown -------------------------------------------------------------

void ModuleState::Shutdown(bool processEnding) PDU_NO_THREAD_SAFETY_ANALYSIS {
  // Teardown runs after the application's exit handlers and static
  // destructors, or at unload, so normally no API call runs any more and
  // the fields below are read without the ApiLock: taking it without a
  // bound could wait forever for a thread the OS already ended (Windows)
  // or one that never lets go. Only the CLOSE takes it, and only if free.
  m_Exiting.store(1);
  if (processEnding) {
    // Windows, process exit: this runs inside the loader lock after the OS
    // has ended every other thread. Joining would wait for threads that
    // will never run again (and a thread's end needs the loader lock), and
    // their objects must not be destroyed while "joinable". So the thread
    // objects are left as they are and nothing is released; the log lines
    // are already on disk (each is flushed when written).
    // No CLOSE to the VCI either: its answer would be read by the receive
    // thread, which the OS has already ended, so the command could only
    // run into its full timeout inside the loader lock (holding up the
    // whole process exit) and still not know whether the VCI heard it.
    Abandon(hPDUEventQueueThread);
    if (g_DeviceLink) g_DeviceLink->AbandonOnProcessExit();
    g_DeviceLink.release();  // deliberately leaked with its receive thread
    return;
  }

  // Linux exit() or an unload: the threads still run. Stop the engine
  // (no new job starts), tell the VCI CLOSE if the application never
  // called PDUDestruct, then end the engine's wait for vehicle data.
  g_QueueRun.store(0);
  g_ThreadRun.store(0);
  WakeEngine();
  CloseVciAtExit();
  if (g_DeviceLink) g_DeviceLink->AbortWaits();
  if (hPDUEventQueueThread.joinable()) {
    if (hPDUEventQueueThread.get_id() == std::this_thread::get_id()) {
      // exit() called from a callback: this thread is the engine thread
      // and cannot join itself. It never returns to the loop.
      Abandon(hPDUEventQueueThread);
      m_EngineInLoop.store(1);                           // keep the state alive
      return;
    }
    bool ended = false;
    {
      platform::MutexLock lock(m_WakeMutex);
      ended = lock.WaitFor(m_EngineExit, kExitJoinBoundMs,
                             [&] { return m_EngineInLoop.load() == 0; });
    }
    if (!ended) {
      // Stuck in the application's callback: leave it; the process ends
      // around it. The state it uses stays valid (not released).
      Abandon(hPDUEventQueueThread);
      return;
    }
    hPDUEventQueueThread.join();
  }
  // The receive thread: ClosePort wakes its blocked read and joins it.
  if (g_DeviceLink) g_DeviceLink->ClosePort();
  log::LogCloseAll();
}

// The process ends (or the library is unloaded) while the module is still
// constructed: the VCI would keep its links open until it is unplugged, so
// it gets the CLOSE that PDUDestruct would have sent. Best effort and
// bounded: the ApiLock is waited for at most kExitLockWaitMs (the engine
// has just been told to stop, but a job it is finishing - the link status
// of a PDUConnect that returned a moment ago - holds it for a few
// milliseconds; an API call of another thread still running at exit may
// hold it for good), the command itself waits at most its own 1000 ms,
// and a CLOSE that gets no answer is not repeated. The engine
// thread may still wait for vehicle data meanwhile: that is the other
// receive queue, so the CLOSE answer cannot be taken for it.
void ModuleState::CloseVciAtExit() {
  if (!g_DeviceLink || !g_DeviceLink->PortIsOpen()) return;
  if (!g_ApiLock.try_lock_for_ms(kExitLockWaitMs)) {
    log::LogMain("exit: ApiLock busy, no CLOSE");
    return;
  }
  if (g_DeviceLink && g_DeviceLink->PortIsOpen()) {
    log::LogMain("exit while constructed: CLOSE");
    device::VciClose();
  }
  g_ApiLock.unlock();
}

}  // namespace pdu::engine
