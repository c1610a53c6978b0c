// The module's state and its one owner.
//
// Everything the library keeps between calls lives in one ModuleState: the
// handle counters and TP2.0 channel flags of the API room, the per-link
// tables, the job and event queues, the engine thread and the device link
// (which owns the serial port and the receive thread). It is created on
// first use and torn down in one place (TearDownModule, run when the
// library is unloaded or the process exits), so no thread object is ever
// destroyed while it still runs. When it moves between constructed and
// not is the lifetime state machine's business (engine/Lifetime.h).
//
// Lifetime of the parts:
//   - the object: first use .. unload / process exit;
//   - LinkTable, LinkTagTable, the counters, Tp20ChannelTable: reset by
//     every PDUConstruct; CallbackTable and both queues survive
//     constructions on purpose (an application registers its callbacks
//     once; events of an earlier construction are still delivered);
//   - the engine thread: PDUConstruct .. PDUDestruct (or teardown);
//   - g_DeviceLink and its receive thread: PDUConstruct .. PDUDestruct.
//
// Threads and locks: fields marked PDU_GUARDED_BY(g_ApiLock) are touched
// only under the ApiLock (the compiler checks it). Atomics are read without
// it. The engine thread's object belongs to the holder of the lifetime
// turn (PDU_GUARDED_BY(g_Lifetime)); m_WakeMutex guards only the engine's
// wake-up sequence. Order: the turn, ApiLock, then the device link's
// receive lock or m_WakeMutex. The engine thread never waits for the turn
// (a holder may be joining that thread).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>

#include "engine/ApiLock.h"
#include "engine/CopQueues.h"
#include "engine/Lifetime.h"
#include "engine/LinkTables.h"
#include "platform/Mutex.h"
#include "protocol/ResultData.h"

namespace pdu::device {
class DeviceLink;
}

namespace pdu::engine {

// Highest hCLL one construction can hand out (LinkTagTable has 1024 rows).
inline constexpr uint32_t kMaxLinkHandle = 1023;
// PDUDestruct without a module joins an engine thread left by a callback's
// PDUDestruct if that callback returns within this time.
inline constexpr uint32_t kLeftThreadJoinMs = 500;
// TP2.0 channel ids 0..99.
inline constexpr size_t kTp20Channels = 100;

class ModuleState {
 public:
  ModuleState();
  ~ModuleState();
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;

  // ---- API room ------------------------------------------------------
  // ComLogicalLink handles: 1..kMaxLinkHandle, never reused before
  // PDUConstruct. NextLinkHandle counts one up and returns it; LastLinkHandle
  // is the last one handed out in this construction (0: none).
  uint32_t NextLinkHandle() PDU_REQUIRES(g_ApiLock) { return ++g_hCLLCounter; }
  uint32_t LastLinkHandle() const PDU_REQUIRES(g_ApiLock) { return g_hCLLCounter; }
  // ComPrimitive handles: one sequence over all links.
  uint32_t NextCoPHandle() PDU_REQUIRES(g_ApiLock) { return ++g_hCoPCounter; }
  uint32_t LastCoPHandle() const PDU_REQUIRES(g_ApiLock) { return g_hCoPCounter; }
  // TP2.0 channel ids (0..kTp20Channels-1) held by a link.
  bool Tp20ChannelHeld(size_t id) const PDU_REQUIRES(g_ApiLock) { return Tp20ChannelTable.at(id) != 0; }
  void HoldTp20Channel(size_t id) PDU_REQUIRES(g_ApiLock) { Tp20ChannelTable.at(id) = 1; }
  void ReleaseTp20Channel(size_t id) PDU_REQUIRES(g_ApiLock) { Tp20ChannelTable.at(id) = 0; }
  size_t Tp20ChannelsHeld() const PDU_REQUIRES(g_ApiLock);
  // PDU_MODST_* of the one module: AVAIL after PDUConstruct and
  // PDUModuleDisconnect, READY after PDUModuleConnect. Read without lock.
  void SetModuleStatus(uint32_t status) { g_ModuleStatus.store(status); }
  uint32_t ModuleStatus() const { return g_ModuleStatus.load(); }
  // The pCllTag of the last created link; only logged.
  void RememberLinkTag(void* tag) PDU_REQUIRES(g_ApiLock) { g_pCoPTag = tag; }
  void* LastLinkTag() const PDU_REQUIRES(g_ApiLock) { return g_pCoPTag; }
  // What every PDUConstruct starts from: no handles, links, tags or TP2.0
  // channels, no result record, no execution waiting for the VCI. The
  // callbacks and both queues are kept (see the top of this file).
  void ResetForConstruct() PDU_REQUIRES(g_ApiLock);

  // ---- links ---------------------------------------------------------
  // The handler of each hCLL; null when the link's protocol has no handler
  // (also for an index outside the table).
  protocol::ZPDUProtocolHandling* LinkHandler(uint32_t hCLL) const PDU_REQUIRES(g_ApiLock);
  void SetLinkHandler(uint32_t hCLL, std::unique_ptr<protocol::ZPDUProtocolHandling> handler)
      PDU_REQUIRES(g_ApiLock);
  // The event callback of each row (index < kLinkTableSize); row 0 holds
  // the module-level one. Callers choose their own row for an hCLL outside
  // the table.
  CALLBACKFNC CallbackAt(size_t index) const PDU_REQUIRES(g_ApiLock) { return CallbackTable.at(index); }
  void SetCallback(size_t index, CALLBACKFNC callback) PDU_REQUIRES(g_ApiLock) { CallbackTable.at(index) = callback; }
  // Where the callback table lives; only logged.
  const void* CallbackTableAddress() const PDU_REQUIRES(g_ApiLock) { return CallbackTable.data(); }
  // The application's pCllTag of each hCLL, handed to its callback; null
  // for an hCLL without a row.
  void* LinkTagOf(uint32_t hCLL) const PDU_REQUIRES(g_ApiLock) {
    return hCLL < kLinkTagTableSize ? LinkTagTable[hCLL] : nullptr;
  }
  void SetLinkTag(uint32_t hCLL, void* tag) PDU_REQUIRES(g_ApiLock) { LinkTagTable.at(hCLL) = tag; }

  // ---- jobs and events -----------------------------------------------
  // Appends a copy of job (with its own copy of the TxFlag bytes) to the
  // job queue, keeps it as the last job and wakes the engine.
  void Enqueue(const CopJob& job) PDU_REQUIRES(g_ApiLock);
  // The last job handed to the queue. A link-status job starts from a copy
  // of it, so it carries the hCoP, CoPType and tag of the ComPrimitive
  // queued before it (applications see those values in the status event).
  CopJob LastJob() const PDU_REQUIRES(g_ApiLock) { return g_CopJob; }
  // A new link starts the last job afresh: an empty job of that link.
  void StartLastJobForLink(uint32_t hCLL) PDU_REQUIRES(g_ApiLock);
  // A ComPrimitive of a type that is never queued: its size and control
  // data still become the last job's (without the TxFlag bytes).
  void KeepSizeAndCtrlOfSpentJob(const CopJob& job) PDU_REQUIRES(g_ApiLock);
  // The job the engine runs next, null when the queue is empty. Valid
  // until the queue changes.
  const CopJob* FrontJob() const PDU_REQUIRES(g_ApiLock);
  // Releases and removes the front job (nothing when the queue is empty).
  void DropFrontJob() PDU_REQUIRES(g_ApiLock);
  size_t QueuedJobs() const PDU_REQUIRES(g_ApiLock) { return CopJobQueue.size(); }
  // The last job of the queue (an empty one when the queue is empty).
  CopJob LastQueuedJob() const PDU_REQUIRES(g_ApiLock);

  void PostEvent(const CopEvent& event) PDU_REQUIRES(g_ApiLock) { CopEventQueue.push_back(event); }
  // Removes the oldest event of hCLL into out; the other events keep their
  // places. False when hCLL has none.
  bool TakeEventOf(uint32_t hCLL, CopEvent& out) PDU_REQUIRES(g_ApiLock);
  size_t QueuedEvents() const PDU_REQUIRES(g_ApiLock) { return CopEventQueue.size(); }

  // 1 while no execution waits for the VCI (from creation on), 0 while one
  // does. Read without the lock by PDUGetStatus and PDUIoCtl.
  void MarkExecuting() { g_CopIdle.store(0); }
  void MarkIdle() { g_CopIdle.store(1); }
  uint32_t CopIdle() const { return g_CopIdle.load(); }
  // The engine takes jobs only while the queue runs: opened by PDUConnect
  // and by every queued ComPrimitive, closed by PDUConstruct and
  // PDUDestruct. SetQueueRun wakes the engine when the flag changed;
  // CloseQueueStopped is for a caller that has stopped the engine thread
  // (nothing to wake).
  void SetQueueRun(uint32_t value);
  void CloseQueueStopped() { g_QueueRun.store(0); }
  uint32_t QueueRun() const { return g_QueueRun.load(); }

  // The record the handler fills for the answer at hand (replaced for
  // every answer). Engine thread only; reset by PDUConstruct while the
  // engine thread is stopped.
  PDU_RESULT_DATA* NewResult();
  const PDU_RESULT_DATA* LastResult() const { return g_ResultData; }
  void ResetResult();

  // ---- the VCI -------------------------------------------------------
  // Created by PDUConstruct, released by PDUDestruct; null while the
  // module has no VCI. Published to the device room (GetDeviceLink) so
  // that its commands find it.
  void SetDeviceLink(std::unique_ptr<device::DeviceLink> link) PDU_REQUIRES(g_ApiLock);
  device::DeviceLink* DeviceLinkOrNull() PDU_REQUIRES(g_ApiLock) { return g_DeviceLink.get(); }
  // Hands the link out (unpublished, port still open).
  std::unique_ptr<device::DeviceLink> ReleaseDeviceLink() PDU_REQUIRES(g_ApiLock);

  // ---- the engine thread ---------------------------------------------
  // Starting, stopping and joining it belong to the holder of the
  // lifetime turn (engine/Lifetime.h): exactly one thread joins it.
  //
  // Starts it. An engine thread left to join (a callback destructed) is
  // joined first, as long as that callback takes: never two engine
  // threads. Not on the engine thread.
  void StartEngineThread() PDU_REQUIRES(g_Lifetime) PDU_EXCLUDES(g_ApiLock);
  // Clears g_QueueRun and g_ThreadRun, ends a wait for vehicle data, wakes
  // the thread and joins it (a job in progress finishes first; it may need
  // the ApiLock, so the caller must not hold it). On the engine thread
  // itself (a callback) only the flags change: the thread ends when the
  // callback returns and is left to join.
  void StopEngineThread() PDU_REQUIRES(g_Lifetime) PDU_EXCLUDES(g_ApiLock);
  // Joins an engine thread whose loop has ended or is ending, waiting at
  // most boundMs for it to leave the loop. True when none is left.
  bool JoinLeftEngineThread(uint32_t boundMs) PDU_REQUIRES(g_Lifetime);
  // No engine thread object and no device link: nothing of ours runs, so
  // the library's pin on itself is given back.
  void UnpinIfIdle() PDU_REQUIRES(g_Lifetime);
  // From a callback's PDUDestruct: the engine thread gives back the pin as
  // its last act where the platform allows it (ExitThreadGivingBackPin).
  void GivePinAtEngineEnd() { m_GivePinAtEngineEnd.store(true); }
  bool EngineThreadRunning() const;
  bool OnEngineThread() const;
  // The OS handle value of the engine thread (for the log), 0 without one.
  uint64_t EngineThreadHandle() PDU_REQUIRES(g_Lifetime);
  // Wakes the engine thread to look at the queue again. Any thread.
  // Returns the wake-up's number.
  uint64_t WakeEngine();
  // Waits (at most ms on the clock) until the engine thread has looked at
  // its queue after wake-up number wake: the jobs it could run then have
  // run, the others wait. Lets a test see that a job stays queued without
  // sleeping.
  bool WaitWakeHandled(uint64_t wake, uint32_t ms);
  // True once the process has begun to end: no callback reaches the
  // application any more (its code may be half torn down by then).
  bool Exiting() const { return m_Exiting.load() != 0; }

  // ---- the end ---------------------------------------------------------
  // The process that constructed the module last (or created it). A forked
  // child is another process: the library's teardown does nothing there.
  void RememberConstructingProcess();
  bool InConstructingProcess() const;
  // The library's teardown at process exit (exiting) or unload (see
  // TearDownModule and the transition table in docs/architecture.md).
  // True when every thread of ours is joined and the object may be
  // released.
  bool TearDown(bool exiting) PDU_EXCLUDES(g_Lifetime, g_ApiLock);
  // Windows process end: the OS has ended every other thread. Nothing is
  // joined, woken, released or sent.
  void AbandonAtProcessEnd() PDU_NO_THREAD_SAFETY_ANALYSIS;

  // The one list of what the library keeps between calls outside this
  // object, each part reset by its own room: the MDF tables, the log files
  // (closed; the next LogInit reads the settings again), the device room's
  // receive data, frame counters and published DeviceLink, the library's
  // pin. ResetModule runs it after
  // the object itself is gone.
  static void ResetStateOutside();

 private:
  void PduEventQueueThread();
  // Flags the engine thread to stop and wakes it; no join.
  void SignalEngineStop();
  // TearDown of a module that is still constructed (exit or unload).
  bool ShutDownConstructed() PDU_REQUIRES(g_Lifetime) PDU_EXCLUDES(g_ApiLock);

  // ---- API room (see the accessors above) ----
  uint32_t g_hCLLCounter PDU_GUARDED_BY(g_ApiLock) = 0;
  uint32_t g_hCoPCounter PDU_GUARDED_BY(g_ApiLock) = 0;
  std::array<uint32_t, kTp20Channels> Tp20ChannelTable PDU_GUARDED_BY(g_ApiLock){};
  std::atomic<uint32_t> g_ModuleStatus{0};
  void* g_pCoPTag PDU_GUARDED_BY(g_ApiLock) = nullptr;

  // ---- links ----
  std::array<std::unique_ptr<protocol::ZPDUProtocolHandling>, kLinkTableSize> LinkTable
      PDU_GUARDED_BY(g_ApiLock);
  std::array<CALLBACKFNC, kLinkTableSize> CallbackTable PDU_GUARDED_BY(g_ApiLock){};
  std::array<void*, kLinkTagTableSize> LinkTagTable PDU_GUARDED_BY(g_ApiLock){};

  // ---- jobs and events ----
  CopJob g_CopJob PDU_GUARDED_BY(g_ApiLock);
  std::deque<CopJob> CopJobQueue PDU_GUARDED_BY(g_ApiLock);
  std::deque<CopEvent> CopEventQueue PDU_GUARDED_BY(g_ApiLock);
  std::atomic<uint32_t> g_CopIdle{1};
  std::atomic<uint32_t> g_QueueRun{0};
  // 1 while the engine thread is meant to run its loop.
  std::atomic<uint32_t> g_ThreadRun{0};
  protocol::ResultDataPtr g_ResultOwner;
  PDU_RESULT_DATA* g_ResultData = nullptr;

  std::unique_ptr<device::DeviceLink> g_DeviceLink PDU_GUARDED_BY(g_ApiLock);

  // hPDUEventQueueThread: started, stopped and joined only by the holder
  // of the lifetime turn (std::thread::join from two threads at once is
  // undefined).
  std::thread hPDUEventQueueThread PDU_GUARDED_BY(g_Lifetime);
  std::atomic<std::thread::id> m_EngineThreadId{};
  // 1 while the engine thread's function runs; cleared (and m_EngineExit
  // notified) as its last step, so that teardown can wait with a bound.
  std::atomic<uint32_t> m_EngineInLoop{0};

  // Wake-up of the engine thread: m_WakeSeq counts wake-ups; the thread
  // sleeps until it differs from the value it saw last, so a wake-up that
  // arrives while a job runs is not lost. m_WakeHandled is the last value
  // it saw whose queue pass has ended; m_WakeHandledCv tells of it while
  // m_WakeHandledWaiters says someone waits (WaitWakeHandled).
  platform::Mutex m_WakeMutex;
  std::condition_variable m_WakeCv;
  std::condition_variable m_EngineExit;
  std::condition_variable m_WakeHandledCv;
  uint64_t m_WakeSeq PDU_GUARDED_BY(m_WakeMutex) = 0;
  std::atomic<uint64_t> m_WakeHandled{0};
  std::atomic<uint32_t> m_WakeHandledWaiters{0};

  std::atomic<uint32_t> m_Exiting{0};
  std::atomic<uint64_t> m_ConstructingProcess{0};
  std::atomic<bool> m_GivePinAtEngineEnd{false};
  // Set by the engine thread right before its last act of giving back the
  // pin (ExitThreadGivingBackPin), which does not return where the
  // platform offers it.
  std::atomic<bool> m_EngineLeftOurCode{false};
};

// The one ModuleState, created on first use. Any thread.
ModuleState& Module();

// Returns everything the library keeps between calls to the state of a
// fresh process: the ModuleState (callbacks, queues, counters), the MDF
// tables, the log files, the frame counters. A module still constructed
// is let go without CLOSE (its threads are joined, its port closed). Only
// while no API call runs: test binaries call it before every test, so that
// all tests of a room can run in one process as each runs alone.
void ResetModule();

// Runs the engine thread's loop body for one job (tests drive it).
void RunJob(const CopJob& job);

}  // namespace pdu::engine
