// PDUStartComPrimitive and PDUCancelComPrimitive: the application hands a
// ComPrimitive to the engine thread and gets its handle back at once.
#include <cstring>

#include "api/ApiFrame.h"
#include "engine/ModuleState.h"
#include "api/LinkHandle.h"
#include "engine/CopQueues.h"
#include "engine/EventItems.h"
#include "log/StructureDump.h"
#include "protocol/ZPDUProtocolHandling.h"

using pdu::api::ApiFrame;
using pdu::api::EntryLine;
using pdu::api::Guarded;
using pdu::api::ResultLine;
namespace api = pdu::api;
namespace engine = pdu::engine;
namespace plog = pdu::log;

namespace {

// The job's control data: the five leading fields and the TxFlag bytes
// (AppendCopJob gives the queued job its own copy of them).
void KeepCopCtrl(engine::CopJob& job, const PDU_COP_CTRL_DATA& ctrl) {
  engine::CopCtrlCopy& c = job.CopCtrl;
  c.Time = ctrl.Time;
  c.NumSendCycles = ctrl.NumSendCycles;
  c.NumReceiveCycles = ctrl.NumReceiveCycles;
  c.TempParamUpdate = ctrl.TempParamUpdate;
  c.NumFlagBytes = ctrl.TxFlag.pFlagData != nullptr ? ctrl.TxFlag.NumFlagBytes : 0;
  c.pFlagData = c.NumFlagBytes != 0 ? ctrl.TxFlag.pFlagData : nullptr;
}

}  // namespace

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUStartComPrimitive(UNUM32 hMod, UNUM32 hCLL, T_PDU_COPT CoPType,
                                                     UNUM32 CoPDataSize, UNUM8* pCoPData,
                                                     PDU_COP_CTRL_DATA* pCopCtrlData, void* pCoPTag,
                                                     UNUM32* phCoP) {
  return Guarded([&] {
    ApiFrame frame("PDUStartComPrimitive");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    frame.Param("CoPType = %s", engine::CoPTypeName(CoPType));
    frame.Param("pCoPTag = $%d", static_cast<int>(reinterpret_cast<intptr_t>(pCoPTag)));
    frame.Param("CoPDataSize = %d", static_cast<int>(CoPDataSize));

    pdu::protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    if (phCoP == nullptr || (pCoPData == nullptr && CoPDataSize != 0) ||
        CoPDataSize > engine::kMaxCoPDataSize) {
      return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    }
    const PDU_COP_CTRL_DATA ctrl = pCopCtrlData != nullptr ? *pCopCtrlData : PDU_COP_CTRL_DATA{};

    if (CoPDataSize != 0) {
      // Built once here so the handler keeps it as its last request; the
      // engine builds it again when the job runs.
      static uint8_t scratch[engine::kCoPDataCapacity];
      std::memset(scratch, 0, sizeof scratch);
      handler->buildRequest(pCoPData, CoPDataSize, scratch);
      if (plog::MainLogOn()) {
        plog::LogMain("\t\t\t*pCopData:%s", plog::HexString(pCoPData, CoPDataSize, true).c_str());
      }
    }
    const uint32_t hCoP = engine::Module().NextCoPHandle();
    *phCoP = hCoP;
    if (plog::MainLogOn()) plog::LogMain("\t\t*pCopData:%s", plog::DumpCopCtrlData(ctrl).c_str());
    plog::LogMain("\t\t*phCoP = %d", static_cast<int>(hCoP));

    // The job starts from the last one queued: an UPDATEPARAM carries no
    // request bytes of its own and keeps those of the job before it.
    engine::ModuleState& m = engine::Module();
    engine::CopJob job = m.LastJob();
    job.CoPDataSize = CoPDataSize;
    KeepCopCtrl(job, ctrl);
    auto fill = [&] {
      job.hMod = hMod;
      job.hCLL = hCLL;
      job.hCoP = hCoP;
      job.CoPType = CoPType;
      job.JobKind = engine::kJobKindComPrimitive;
      job.pCoPTag = pCoPTag;
    };
    switch (CoPType) {
      case PDU_COPT_UPDATEPARAM:
        fill();
        handler->getcomparam_var();
        handler->applyTimingComparam();
        plog::LogMain("1");
        engine::AppendCopJob(job);
        handler->parseComparam();
        engine::SetQueueRun(1);
        break;
      case PDU_COPT_STARTCOMM:
      case PDU_COPT_STOPCOMM:
      case PDU_COPT_SENDRECV:
        if (CoPDataSize != 0) std::memcpy(job.CoPData, pCoPData, CoPDataSize);
        fill();
        plog::LogMain("1");
        if (CoPType == PDU_COPT_SENDRECV && CoPDataSize != 0) plog::LogMain("---size >0");
        engine::AppendCopJob(job);
        engine::SetQueueRun(1);
        break;
      default:
        // The handle is spent; no event will ever carry it. The size and
        // control data still become the last job's (a later link-status
        // event shows them).
        m.KeepSizeAndCtrlOfSpentJob(job);
        break;
    }
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUCancelComPrimitive(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP) {
  return Guarded([&] {
    // A ComPrimitive runs to its end; cancelling is only recorded.
    ApiFrame frame("PDUCancelComPrimitive", EntryLine::kNewlineNoTick);
    plog::LogMain("\t\t\thMod = %d", static_cast<int>(hMod));
    plog::LogMain("\t\t\thCLL = %d", static_cast<int>(hCLL));
    plog::LogMain("\t\t\thCoP = %d", static_cast<int>(hCoP));
    return frame.Finish(PDU_STATUS_NOERROR, ResultLine::kNoTick);
  });
}

}  // extern "C"
