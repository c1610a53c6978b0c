#include "engine/CopQueues.h"

#include <cstring>

#include "engine/ModuleState.h"

namespace pdu::engine {

void AppendCopJob(const CopJob& job) {
  ModuleState& m = Module();
  CopJob queued = job;
  queued.CopCtrl.pFlagData = nullptr;
  if (job.CopCtrl.NumFlagBytes != 0 && job.CopCtrl.pFlagData != nullptr) {
    queued.CopCtrl.pFlagData = new uint8_t[job.CopCtrl.NumFlagBytes];
    std::memcpy(queued.CopCtrl.pFlagData, job.CopCtrl.pFlagData, job.CopCtrl.NumFlagBytes);
  }
  m.CopJobQueue.push_back(queued);
  // The last job is kept without its TxFlag bytes: nothing reads them from
  // there, and the record then owns no memory.
  m.g_CopJob = job;
  m.g_CopJob.CopCtrl.pFlagData = nullptr;
  m.g_CopJob.CopCtrl.NumFlagBytes = 0;
  m.WakeEngine();
}

void SetQueueRun(uint32_t value) {
  // Every ComPrimitive sets it to 1 right after AppendCopJob has woken the
  // engine; a second wake-up for an unchanged flag only made the engine
  // thread meet the waker on the wake-up mutex.
  ModuleState& m = Module();
  if (m.g_QueueRun.exchange(value) != value) m.WakeEngine();
}

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
