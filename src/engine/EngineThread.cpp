#include "engine/EngineThread.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/ApiLock.h"
#include "engine/CopQueues.h"
#include "engine/EventItems.h"
#include "engine/LinkTables.h"
#include "log/PduLog.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {
namespace {

// Wake-up of the engine thread. g_WakeSeq counts wake-ups; the thread
// sleeps until it differs from the value it saw last, so a wake-up that
// arrives while a job runs is not lost. Lock order: the ApiLock may be held
// when g_WakeMutex is taken, never the other way round.
std::mutex g_WakeMutex;
std::condition_variable g_WakeCv;
uint64_t g_WakeSeq = 0;

// 1 from StartEngineThread to StopEngineThread; the thread loops while 1.
std::atomic<uint32_t> g_ThreadRun{0};

// hPDUEventQueueThread. Started and joined by PDUConstruct / PDUDestruct
// (never concurrently with each other).
std::thread hPDUEventQueueThread;

void RemoveFrontJob() {
  ApiLockGuard lock(ApiLock());
  if (CopJobQueue.empty()) return;
  ReleaseJob(CopJobQueue.front());
  CopJobQueue.pop_front();
}

// JobKind 2: tell the link's callback its current status. The whole job runs
// under the ApiLock, so the status is the one after the API call that queued
// the job has returned.
void DeliverLinkStatus(const CopJob& job) {
  ApiLockGuard lock(ApiLock());
  const size_t index = job.hCLL < kLinkTableSize ? job.hCLL : 0;
  if (CallbackTable[index] != nullptr) {
    log::LogMain("set status");
    CopEvent event;
    event.hMod = job.hMod;
    event.hCLL = job.hCLL;
    event.Cop = job.hCoP;
    event.CoPType = job.CoPType;
    event.CoPTag = job.pCoPTag;
    event.EventKind = kEventKindLinkStatus;
    const protocol::ZPDUProtocolHandling* handler = LinkHandler(job.hCLL);
    event.CllStatus = handler != nullptr ? handler->CllStatus.load() : 0u;
    log::LogMain("%d", static_cast<int>(event.CllStatus));
    CopEventQueue.push_back(event);
    CallbackThread();
  }
  if (!CopJobQueue.empty()) {
    ReleaseJob(CopJobQueue.front());
    CopJobQueue.pop_front();
  }
}

void RunJob(const CopJob& job) {
  if (job.JobKind == kJobKindComPrimitive) {
    switch (job.CoPType) {
      case PDU_COPT_UPDATEPARAM: pduDoCopUpdateParam(job); break;
      case PDU_COPT_STARTCOMM: pduDoCopStart(job); break;
      case PDU_COPT_SENDRECV: pduDoCopSendrecv(job); break;
      case PDU_COPT_STOPCOMM: pduDoCopStop(job); break;
      default: break;
    }
    RemoveFrontJob();
  } else if (job.JobKind == kJobKindLinkStatus) {
    DeliverLinkStatus(job);
  } else {
    RemoveFrontJob();
  }
}

void PduEventQueueThread() {
  uint64_t seen = 0;
  while (g_ThreadRun.load() == 1) {
    {
      std::unique_lock<std::mutex> lock(g_WakeMutex);
      g_WakeCv.wait(lock, [&] { return g_ThreadRun.load() != 1 || g_WakeSeq != seen; });
      seen = g_WakeSeq;
    }
    // Run every job that is there while the queue is open.
    while (g_ThreadRun.load() == 1 && g_QueueRun.load() == 1) {
      CopJob job;
      {
        ApiLockGuard lock(ApiLock());
        if (CopJobQueue.empty()) break;
        job = CopJobQueue.front();
      }
      RunJob(job);
    }
  }
  log::LogMain("queue quit");
}

}  // namespace

void WakeEngine() {
  {
    std::lock_guard<std::mutex> lock(g_WakeMutex);
    ++g_WakeSeq;
  }
  g_WakeCv.notify_all();
}

void StartEngineThread() {
  StopEngineThread();
  g_ThreadRun.store(1);
  hPDUEventQueueThread = std::thread(PduEventQueueThread);
}

void StopEngineThread() {
  g_QueueRun.store(0);
  g_ThreadRun.store(0);
  WakeEngine();
  if (!hPDUEventQueueThread.joinable()) return;
  if (hPDUEventQueueThread.get_id() == std::this_thread::get_id()) {
    // Called from the application's callback on the engine thread itself:
    // the thread ends when the callback returns; the next start joins it.
    return;
  }
  hPDUEventQueueThread.join();
}

bool EngineThreadRunning() { return g_ThreadRun.load() == 1 && hPDUEventQueueThread.joinable(); }

}  // namespace pdu::engine
