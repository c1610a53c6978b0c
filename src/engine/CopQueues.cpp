#include "engine/CopQueues.h"

#include <cstring>

#include "engine/EventItems.h"
#include "engine/ModuleState.h"
#include "log/PduLog.h"
#include "log/StructureDump.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {

namespace {

// The job's control data: the five leading fields and the TxFlag bytes
// (AppendCopJob gives the queued job its own copy of them).
void KeepCopCtrl(CopJob& job, const PDU_COP_CTRL_DATA& ctrl) {
  CopCtrlCopy& c = job.CopCtrl;
  c.Time = ctrl.Time;
  c.NumSendCycles = ctrl.NumSendCycles;
  c.NumReceiveCycles = ctrl.NumReceiveCycles;
  c.TempParamUpdate = ctrl.TempParamUpdate;
  c.NumFlagBytes = ctrl.TxFlag.pFlagData != nullptr ? ctrl.TxFlag.NumFlagBytes : 0;
  c.pFlagData = c.NumFlagBytes != 0 ? ctrl.TxFlag.pFlagData : nullptr;
}

}  // namespace

uint32_t QueueComPrimitive(protocol::ZPDUProtocolHandling& handler, const ComPrimitiveRequest& r) {
  if (r.size != 0) {
    // Built once here so the handler keeps it as its last request; the
    // engine builds it again when the job runs.
    uint8_t scratch[kCoPDataCapacity] = {};
    handler.buildRequest(r.data, r.size, scratch);
    if (log::MainLogOn()) log::LogMain("\t\t\t*pCopData:%s", log::HexString(r.data, r.size, true).c_str());
  }
  ModuleState& m = Module();
  const uint32_t hCoP = m.NextCoPHandle();
  if (log::MainLogOn()) log::LogMain("\t\t*pCopData:%s", log::DumpCopCtrlData(r.ctrl).c_str());
  log::LogMain("\t\t*phCoP = %d", static_cast<int>(hCoP));

  CopJob job = m.LastJob();
  job.CoPDataSize = r.size;
  KeepCopCtrl(job, r.ctrl);
  const auto fill = [&] {
    job.hMod = r.hMod;
    job.hCLL = r.hCLL;
    job.hCoP = hCoP;
    job.CoPType = r.CoPType;
    job.JobKind = kJobKindComPrimitive;
    job.pCoPTag = r.tag;
  };
  switch (r.CoPType) {
    case PDU_COPT_UPDATEPARAM:
      fill();
      handler.getcomparam_var();
      handler.applyTimingComparam();
      log::LogMain("1");
      AppendCopJob(job);
      handler.parseComparam();
      SetQueueRun(1);
      break;
    case PDU_COPT_STARTCOMM:
    case PDU_COPT_STOPCOMM:
    case PDU_COPT_SENDRECV:
      if (r.size != 0) std::memcpy(job.CoPData, r.data, r.size);
      fill();
      log::LogMain("1");
      if (r.CoPType == PDU_COPT_SENDRECV && r.size != 0) log::LogMain("---size >0");
      AppendCopJob(job);
      SetQueueRun(1);
      break;
    default:
      // The handle is spent; no event will ever carry it. The size and
      // control data still become the last job's (a later link-status
      // event shows them).
      m.KeepSizeAndCtrlOfSpentJob(job);
      break;
  }
  return hCoP;
}

void AppendCopJob(const CopJob& job) { Module().Enqueue(job); }

void SetQueueRun(uint32_t value) { Module().SetQueueRun(value); }

void ReleaseJob(CopJob& job) {
  delete[] job.CopCtrl.pFlagData;
  job.CopCtrl.pFlagData = nullptr;
}

void FreeResultData(PDU_RESULT_DATA* result) {
  if (result == nullptr) return;
  delete[] result->RxFlag.pFlagData;
  delete[] result->TimestampFlags.pFlagData;
  if (result->pExtraInfo != nullptr) {
    delete[] result->pExtraInfo->pHeaderBytes;
    delete[] result->pExtraInfo->pFooterBytes;
    delete result->pExtraInfo;
  }
  delete[] result->pDataBytes;
  delete result;
}

}  // namespace pdu::engine
