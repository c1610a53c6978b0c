#include "engine/CopQueues.h"

#include <cstring>

#include "engine/EngineThread.h"

namespace pdu::engine {

CopJob g_CopJob;
std::deque<CopJob> CopJobQueue;
std::deque<CopEvent> CopEventQueue;
std::atomic<uint32_t> g_CopIdle{1};
std::atomic<uint32_t> g_QueueRun{0};

void AppendCopJob() {
  CopJob job = g_CopJob;
  job.CopCtrl.pFlagData = nullptr;
  if (g_CopJob.CopCtrl.NumFlagBytes != 0 && g_CopJob.CopCtrl.pFlagData != nullptr) {
    job.CopCtrl.pFlagData = new uint8_t[g_CopJob.CopCtrl.NumFlagBytes];
    std::memcpy(job.CopCtrl.pFlagData, g_CopJob.CopCtrl.pFlagData, g_CopJob.CopCtrl.NumFlagBytes);
  }
  CopJobQueue.push_back(job);
  WakeEngine();
}

void SetQueueRun(uint32_t value) {
  // Every ComPrimitive sets it to 1 right after AppendCopJob has woken the
  // engine; a second wake-up for an unchanged flag only made the engine
  // thread meet the waker on the wake-up mutex.
  if (g_QueueRun.exchange(value) != value) WakeEngine();
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
