#include "engine/CopQueues.h"

#include "engine/ModuleState.h"

namespace pdu::engine {

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
