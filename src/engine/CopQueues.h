// ComPrimitive jobs and events: the records the API calls and the engine
// thread hand each other, the two FIFO queues and the shared flags.
//
//   application threads --CopJob--> CopJobQueue --> engine thread
//   engine thread --CopEvent--> CopEventQueue --> PDUGetEventItem / callback
//
// The queues themselves are members of the ModuleState (ModuleState.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "engine/ApiLock.h"
#include "pdu_api.h"

namespace pdu::protocol {
class ZPDUProtocolHandling;
}

namespace pdu::engine {

inline constexpr uint32_t kJobKindComPrimitive = 1;
inline constexpr uint32_t kJobKindLinkStatus = 2;
inline constexpr uint32_t kEventKindComPrimitive = 1;
inline constexpr uint32_t kEventKindLinkStatus = 2;

// Request bytes a job can carry; the VCI counts four more, so at most
// kMaxCoPDataSize bytes are accepted from the application.
inline constexpr uint32_t kCoPDataCapacity = 4096;
inline constexpr uint32_t kMaxCoPDataSize = kCoPDataCapacity - 4;

// The part of PDU_COP_CTRL_DATA a job keeps. pFlagData is the job's own
// copy of the TxFlag bytes, released by ReleaseJob when the job leaves the
// queue.
struct CopCtrlCopy {
  uint32_t Time = 0;
  int32_t NumSendCycles = 0;
  int32_t NumReceiveCycles = 0;
  uint32_t TempParamUpdate = 0;
  uint32_t NumFlagBytes = 0;
  uint8_t* pFlagData = nullptr;
};

struct CopJob {
  uint32_t hMod = 0;
  uint32_t hCLL = 0;
  uint32_t hCoP = 0;        // link-status jobs: whatever g_CopJob last held
  uint32_t CoPType = 0;     // PDU_COPT_*
  uint32_t CoPDataSize = 0;
  uint32_t JobKind = 0;     // kJobKindComPrimitive or kJobKindLinkStatus
  void* pCoPTag = nullptr;
  uint8_t CoPData[kCoPDataCapacity] = {};
  CopCtrlCopy CopCtrl;
};

struct CopEvent {
  uint32_t hMod = 0;
  uint32_t hCLL = 0;
  uint32_t Cop = 0;        // hCoP of the job
  uint32_t Status = 0;     // PDU_COPST_IDLE / EXECUTING / FINISHED
  uint32_t CoPType = 0;
  uint32_t result_len = 0; // result data bytes; 0 for a status event
  uint8_t Data[1024] = {}; // first result bytes, kept for the record
  PDU_RESULT_DATA* pResultData = nullptr;  // result events: owned by the event until an item takes it
  uint32_t EventKind = 0;  // kEventKindComPrimitive or kEventKindLinkStatus
  uint32_t CllStatus = 0;  // link-status events
  uint32_t IsError = 0;    // 1 on the IDLE event of a failed exchange
  uint32_t ErrorCode = 0;  // its T_PDU_ERR_EVT; 0: PDU_ERR_EVT_RX_TIMEOUT
  void* CoPTag = nullptr;
};

// A ComPrimitive as PDUStartComPrimitive was asked for it (arguments
// checked: data holds size bytes, size <= kMaxCoPDataSize).
struct ComPrimitiveRequest {
  uint32_t hMod = 0;
  uint32_t hCLL = 0;
  uint32_t CoPType = 0;
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  PDU_COP_CTRL_DATA ctrl{};
  void* tag = nullptr;
};
// Spends the next ComPrimitive handle on the request and queues its job for
// the engine thread; returns the handle. The job starts from the last one
// queued (an UPDATEPARAM carries no request bytes of its own and keeps those
// of the job before it); UPDATEPARAM takes the link's ComParam variables
// into its waits and ParamBlock at once. A type the engine does not run
// spends its handle without a job.
uint32_t QueueComPrimitive(protocol::ZPDUProtocolHandling& handler, const ComPrimitiveRequest& request)
    PDU_REQUIRES(g_ApiLock);

// Appends a copy of job (with its own copy of the TxFlag bytes) to the
// CopJobQueue, keeps it as the module's last job (g_CopJob) and wakes the
// engine.
void AppendCopJob(const CopJob& job) PDU_REQUIRES(g_ApiLock);
// Sets g_QueueRun and wakes the engine when the flag changed.
void SetQueueRun(uint32_t value);
// Releases what a job owns (its TxFlag copy).
void ReleaseJob(CopJob& job);
// Releases a result record and every array it owns (also the records the
// handlers fill and the items' copies: all are made with new/new[]).
void FreeResultData(PDU_RESULT_DATA* result);

}  // namespace pdu::engine
