#include "engine/EngineThread.h"

#include "engine/CopQueues.h"
#include "engine/EventItems.h"
#include "engine/LinkTables.h"
#include "engine/ModuleState.h"
#include "log/PduLog.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {
namespace {

void RemoveFrontJob() {
  ModuleState& m = Module();
  ApiLockGuard lock(g_ApiLock);
  m.DropFrontJob();
}

// JobKind 2: tell the link's callback its current status. The whole job runs
// under the ApiLock, so the status is the one after the API call that queued
// the job has returned.
void DeliverLinkStatus(const CopJob& job) {
  ModuleState& m = Module();
  ApiLockGuard lock(g_ApiLock);
  const size_t index = job.hCLL < kLinkTableSize ? job.hCLL : 0;
  if (m.CallbackAt(index) != nullptr) {
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
    m.PostEvent(event);
    CallbackThread();
  }
  m.DropFrontJob();
}

}  // namespace

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

bool EngineThreadRunning() { return Module().EngineThreadRunning(); }
bool OnEngineThread() { return Module().OnEngineThread(); }
void WakeEngine() { Module().WakeEngine(); }

}  // namespace pdu::engine
