// The executions of one ComPrimitive job on the engine thread.
//
// Every execution reports through events: EXECUTING when it starts, a
// result event per answer, an IDLE event with IsError 1 for a failed
// exchange, FINISHED at the end. Notifying (CallbackThread) tells the
// application. The ApiLock is taken only around sending the request and
// around appending an event, never during the wait for vehicle data, so the
// application's calls go on while a ComPrimitive waits.
//
// Two things end an execution besides its answers and timeouts, each with
// one main-log line that says so:
//   - the module stops (PDUDestruct, a new PDUConstruct, process exit):
//     the wait for vehicle data ends at once and a SENDRECV loop ends at
//     its next pass, so that a listening ComPrimitive on a bus that never
//     falls quiet does not keep PDUDestruct waiting; it ends with FINISHED
//     and no error item;
//   - the VCI is lost (the adapter is gone, a write failed): the execution
//     ends at once with an error item PDU_ERR_EVT_LOST_COMM_TO_VCI, the
//     link goes offline (a link-status event, once), then FINISHED; every
//     later execution ends the same way without waiting.
#include <cstring>

#include "device/DeviceLink.h"
#include "device/DeviceCommands.h"
#include "engine/ApiLock.h"
#include "engine/CopQueues.h"
#include "engine/EngineThread.h"
#include "engine/EventItems.h"
#include "engine/LinkTables.h"
#include "engine/ModuleState.h"
#include "log/PduLog.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "protocol/ResultData.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {
namespace {

using protocol::ResponseClass;

// Flag word value that tells the loop more responses may follow.
constexpr uint32_t kMoreResponses = 0x10000000;
// Wait after a response-pending answer, and for each further response.
constexpr uint32_t kPendingWaitMs = 5000;
constexpr uint32_t kNextResponseWaitMs = 20;

int Int(uint32_t v) { return static_cast<int>(v); }

void Post(const CopJob& job, uint32_t status, uint32_t isError = 0, PDU_RESULT_DATA* result = nullptr,
          uint32_t eventKind = kEventKindComPrimitive, uint32_t cllStatus = 0, uint32_t errorCode = 0) {
  CopEvent ev;
  ev.hMod = job.hMod;
  ev.hCLL = job.hCLL;
  ev.Cop = job.hCoP;
  ev.Status = status;
  ev.CoPType = job.CoPType;
  ev.CoPTag = job.pCoPTag;
  ev.IsError = isError;
  ev.EventKind = eventKind;
  ev.CllStatus = cllStatus;
  ev.ErrorCode = errorCode;
  if (result != nullptr) {
    ev.pResultData = result;
    ev.result_len = result->NumDataBytes;
    const uint32_t n = result->NumDataBytes < sizeof ev.Data ? result->NumDataBytes : sizeof ev.Data;
    if (n != 0 && result->pDataBytes != nullptr) std::memcpy(ev.Data, result->pDataBytes, n);
  }
  ApiLockGuard lock(g_ApiLock);
  Module().PostEvent(ev);
}

void PostResult(const CopJob& job) {
  auto* copy = new PDU_RESULT_DATA{};
  CopyResultData(*copy);
  Post(job, PDU_COPST_FINISHED, 0, copy);
}

// Why an execution got no vehicle data, when it is not its own timeout.
enum class EndCause { kTimeout, kStopping, kVciLost };

EndCause WhyNoData() {
  if (device::VciLost()) return EndCause::kVciLost;
  if (device::VehicleDataWaitsAborted()) return EndCause::kStopping;
  return EndCause::kTimeout;
}

// The end of an execution for a lost VCI: the error item, the link offline.
void PostVciLost(const CopJob& job, protocol::ZPDUProtocolHandling* handler) {
  Post(job, PDU_COPST_IDLE, 1, nullptr, kEventKindComPrimitive, 0, PDU_ERR_EVT_LOST_COMM_TO_VCI);
  if (handler != nullptr && handler->CllStatus.exchange(PDU_CLLST_OFFLINE) != PDU_CLLST_OFFLINE) {
    Post(job, 0, 0, nullptr, kEventKindLinkStatus, PDU_CLLST_OFFLINE);
  }
}

// Logs why the execution ends without its answer and posts what that
// cause calls for; false for a plain timeout (the caller's own handling).
bool EndWithoutData(const CopJob& job, protocol::ZPDUProtocolHandling* handler) {
  switch (WhyNoData()) {
    case EndCause::kVciLost:
      log::LogMain("cop = %d ends: the VCI is lost", Int(job.hCoP));
      PostVciLost(job, handler);
      return true;
    case EndCause::kStopping:
      log::LogMain("cop = %d ends: the module is stopping", Int(job.hCoP));
      return true;
    case EndCause::kTimeout:
      break;
  }
  return false;
}

// Handling one answer: a fresh record becomes the module's result record and the handler
// fills and classifies it.
ResponseClass HandleAnswer(protocol::ZPDUProtocolHandling& handler, uint32_t length, uint32_t* flags) {
  return handler.parseResponse(device::RxData(), length, flags, Module().NewResult());
}

// The job's handler, looked up under the ApiLock. It stays valid while the
// job runs: handlers are released only by PDUConstruct, after it has
// stopped this thread.
protocol::ZPDUProtocolHandling* JobHandler(const CopJob& job) {
  ApiLockGuard lock(g_ApiLock);
  return LinkHandler(job.hCLL);
}

// Sends the job's request with VCI_CMD_COP under the ApiLock.
void SendCop(const CopJob& job, const uint8_t* request, uint32_t requestLen, bool discardFirst) {
  ApiLockGuard lock(g_ApiLock);
  device::DeviceLink* link = device::GetDeviceLink();
  if (link == nullptr) return;
  if (discardFirst) link->DiscardAnswers();
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.Time = job.CopCtrl.Time;
  ctrl.NumSendCycles = job.CopCtrl.NumSendCycles;
  ctrl.NumReceiveCycles = job.CopCtrl.NumReceiveCycles;
  ctrl.TempParamUpdate = job.CopCtrl.TempParamUpdate;
  ctrl.TxFlag.NumFlagBytes = job.CopCtrl.NumFlagBytes;
  ctrl.TxFlag.pFlagData = job.CopCtrl.pFlagData;
  device::VciCop(job.hMod, job.hCLL, job.CoPType, request, requestLen, &ctrl);
}

// STARTCOMM and STOPCOMM: one request, one wait, no classification.
void StartOrStop(const CopJob& job, bool start) {
  protocol::ZPDUProtocolHandling* handler = JobHandler(job);
  if (start) log::LogMain("pduDoCopStart cop = %d", Int(job.hCoP));
  device::ClearRxData();
  Post(job, PDU_COPST_EXECUTING);
  Module().MarkExecuting();
  CallbackThread();

  uint8_t request[kCoPDataCapacity] = {};
  if (handler != nullptr) handler->buildRequest(job.CoPData, job.CoPDataSize, request);
  {
    ApiLockGuard lock(g_ApiLock);
    if (start) log::LogMain("time in = %d", Int(platform::ClockTicks()));
    SendCop(job, request, job.CoPDataSize + 4, false);
    if (start) log::LogMain("time out = %d", Int(platform::ClockTicks()));
  }
  const uint32_t timeout = handler != nullptr ? handler->getStartTimeout() : 2000;
  uint32_t length = 0;
  const uint32_t status = device::ReadVehicleData(timeout, length);
  if (status == 0 && length != 0 && handler != nullptr) {
    uint32_t flags = 0;
    HandleAnswer(*handler, length, &flags);
    Module().MarkIdle();
    if (start) {
      handler->CllStatus.store(PDU_CLLST_COMM_STARTED);
      log::LogMain("cllstatus = %d", Int(PDU_CLLST_COMM_STARTED));
      Post(job, 0, 0, nullptr, kEventKindLinkStatus, PDU_CLLST_COMM_STARTED);
    }
    if (Module().LastResult()->NumDataBytes != 0) PostResult(job);
  } else if (!EndWithoutData(job, handler)) {
    Post(job, PDU_COPST_IDLE, 1);
  }
  Post(job, PDU_COPST_FINISHED);
  CallbackThread();
  Module().MarkIdle();
}

}  // namespace

void pduDoCopUpdateParam(const CopJob& job) {
  Post(job, PDU_COPST_EXECUTING);
  Post(job, PDU_COPST_FINISHED);
  CallbackThread();
}

void pduDoCopStart(const CopJob& job) { StartOrStop(job, true); }

void pduDoCopStop(const CopJob& job) { StartOrStop(job, false); }

namespace {

// A SENDRECV without request bytes (or whose link is gone) sends nothing
// and posts no item; the link's callback is still called once.
void SendRecvWithoutRequest(const CopJob& job) {
  log::LogMain("VW test sendrecv == 0 1112");
  // The tables change under the ApiLock (PDURegisterEventCallback): read
  // them under it, call without it.
  CALLBACKFNC callback = nullptr;
  void* tag = nullptr;
  {
    ModuleState& m = Module();
    ApiLockGuard lock(g_ApiLock);
    callback = job.hCLL < kLinkTableSize ? m.CallbackAt(job.hCLL) : nullptr;
    tag = m.LinkTagOf(job.hCLL);
  }
  if (callback != nullptr && !Module().Exiting()) callback(PDU_EVT_DATA_AVAILABLE, job.hMod, job.hCLL, tag, nullptr);
  Module().MarkIdle();
}

}  // namespace

void pduDoCopSendrecv(const CopJob& job) {
  protocol::ZPDUProtocolHandling* handler = JobHandler(job);
  log::LogMain("pduDoCopSendrecv cop = %d", Int(job.hCoP));
  device::ClearRxData();
  if (job.CoPDataSize == 0 || handler == nullptr) {
    SendRecvWithoutRequest(job);
    return;
  }
  log::LogMain("time = %d", Int(platform::ClockTicks()));
  uint8_t request[kCoPDataCapacity] = {};
  handler->buildRequest(job.CoPData, job.CoPDataSize, request);
  bool send = true;
  uint32_t timeout = handler->getDefaultTimeout();
  Post(job, PDU_COPST_EXECUTING);
  CallbackThread();

  for (;;) {
    // Each pass looks whether the module stops or the VCI went away: on a
    // busy bus the loop below would otherwise never run out of answers.
    if (WhyNoData() != EndCause::kTimeout && EndWithoutData(job, handler)) break;
    Module().MarkExecuting();
    if (send) SendCop(job, request, job.CoPDataSize + 4, true);
    uint32_t length = 0;
    const uint32_t status = device::ReadVehicleData(timeout, length);
    Module().MarkIdle();
    log::LogMain("time = %d", Int(platform::ClockTicks()));
    if (status != 0 || length == 0) {
      if (!EndWithoutData(job, handler) && send) Post(job, PDU_COPST_IDLE, 1);
      break;
    }
    uint32_t flags = 0;
    const ResponseClass cls = HandleAnswer(*handler, length, &flags);
    log::LogMain("pdu_result_data->NumDataBytes = %d", Int(Module().LastResult()->NumDataBytes));
    log::LogMain("reg = %d", Int(static_cast<uint32_t>(cls)));
    if (Module().LastResult()->NumDataBytes == 0 || cls == ResponseClass::kNoResult) {
      Post(job, PDU_COPST_IDLE, 1);
      break;
    }
    if (job.CopCtrl.NumReceiveCycles != 1) flags = kMoreResponses;
    if (cls != ResponseClass::kPending && cls != ResponseClass::kRepeat) PostResult(job);
    if (cls == ResponseClass::kFinal) {
      if ((flags & kMoreResponses) == 0) break;
      send = false;
      timeout = kNextResponseWaitMs;
    } else if (cls == ResponseClass::kPending) {
      send = false;
      timeout = kPendingWaitMs;
    } else {
      send = true;  // busy: the same request again, the same wait
    }
  }
  Post(job, PDU_COPST_FINISHED);
  CallbackThread();
  Module().MarkIdle();
}

}  // namespace pdu::engine
