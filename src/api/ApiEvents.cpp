// PDUGetEventItem, PDUDestroyItem, PDURegisterEventCallback: the
// application's side of the event queue.
#include <cstdint>

#include "api/ApiFrame.h"
#include "engine/CopQueues.h"
#include "engine/EventItems.h"
#include "engine/LinkTables.h"
#include "engine/ModuleState.h"

using pdu::api::ApiFrame;
using pdu::api::EntryLine;
using pdu::api::Guarded;
using pdu::api::ResultLine;
using pdu::api::AsInt;
namespace engine = pdu::engine;
namespace plog = pdu::log;

namespace {

// Turns one ComPrimitive event into an item; 0x71 when the event yields none
// (it is consumed all the same).
T_PDU_ERROR ComPrimitiveItem(uint32_t hCLL, engine::CopEvent& ev, PDU_EVENT_ITEM** out)
    PDU_REQUIRES(engine::g_ApiLock) {
  const int cll = static_cast<int>(hCLL);
  const int cop = static_cast<int>(ev.Cop);
  T_PDU_ERROR result = PDU_ERR_EVENT_QUEUE_EMPTY;
  if (ev.CoPType == PDU_COPT_UPDATEPARAM) {
    plog::LogMain("currentEvent.Cop= %d status = %d", cop, static_cast<int>(ev.Status));
  } else if (ev.CoPType == PDU_COPT_SENDRECV) {
    plog::LogMain("currentCopEvent.result_len = %d", static_cast<int>(ev.result_len));
  }
  const bool talking = ev.CoPType == PDU_COPT_SENDRECV || ev.CoPType == PDU_COPT_STARTCOMM ||
                       ev.CoPType == PDU_COPT_STOPCOMM;
  if (ev.CoPType == PDU_COPT_UPDATEPARAM || talking) {
    if (ev.Status == PDU_COPST_FINISHED && (ev.CoPType == PDU_COPT_UPDATEPARAM || ev.result_len == 0)) {
      result = engine::BuildStatusItem(ev, PDU_COPST_FINISHED, ev.Cop, ev.CoPTag, out);
      plog::LogData("<<<[%d  %d] status = %s\r\n", cll, cop, engine::StatusValueName(PDU_COPST_FINISHED));
    } else if (ev.Status == PDU_COPST_FINISHED) {
      result = engine::BuildResultItem(ev, out);
      plog::LogData(">>>[%d  %d] status = result", cll, cop);
    } else if (ev.Status == PDU_COPST_EXECUTING) {
      result = engine::BuildStatusItem(ev, PDU_COPST_EXECUTING, ev.Cop, ev.CoPTag, out);
      plog::LogData(">>>[%d  %d] status = %s", cll, cop, engine::StatusValueName(PDU_COPST_EXECUTING));
    } else if (ev.Status == PDU_COPST_IDLE && ev.IsError == 1 && talking) {
      result = engine::BuildErrorItem(ev, out);
      if (ev.CoPType == PDU_COPT_STARTCOMM) {
        plog::LogData(">>>[%d %d] status = error", cll, cop);
      } else {
        plog::LogData(">>>[%d  %d] status = error", cll, cop);
      }
    }
  }
  // An event that became no item still owns its result copy.
  engine::FreeResultData(ev.pResultData);
  ev.pResultData = nullptr;
  plog::LogMain("queue size1 = %d", static_cast<int>(engine::Module().QueuedEvents()));
  plog::LogMain("a event end");
  return result;
}

}  // namespace

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetEventItem(UNUM32 hMod, UNUM32 hCLL, PDU_EVENT_ITEM** pEventItem) {
  return Guarded([&] {
    ApiFrame frame("PDUGetEventItem");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    if (pEventItem == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    T_PDU_ERROR result = PDU_ERR_EVENT_QUEUE_EMPTY;
    engine::CopEvent ev;
    if (hCLL >= 1 && engine::Module().QueuedEvents() != 0 && engine::TakeLinkEvent(hCLL, ev)) {
      if (ev.EventKind == engine::kEventKindLinkStatus) {
        result = engine::BuildStatusItem(ev, ev.CllStatus, 0xFFFFFFFFu, nullptr, pEventItem);
        plog::LogMain("queue cllstatus size = %d", static_cast<int>(engine::Module().QueuedEvents()));
        plog::LogData(">>>[%d  %d] status = %s\r\n", static_cast<int>(hCLL), static_cast<int>(ev.Cop),
                      engine::StatusValueName(ev.CllStatus));
        engine::FreeResultData(ev.pResultData);
      } else {
        result = ComPrimitiveItem(hCLL, ev, pEventItem);
      }
    }
    return frame.Finish(result);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestroyItem(PDU_ITEM* pItem) {
  return Guarded([&] {
    ApiFrame frame("PDUDestroyItem", EntryLine::kTick);
    if (pItem == nullptr) {
      plog::LogMain("pItem == NULL");
      return PDU_ERR_INVALID_PARAMETERS;
    }
    plog::LogMain("pItem->ItemType : %d", static_cast<int>(pItem->ItemType));
    engine::DestroyItem(pItem);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDURegisterEventCallback(UNUM32 hMod, UNUM32 hCLL,
                                                         CALLBACKFNC EventCallbackFunction) {
  return Guarded([&] {
    ApiFrame frame("PDURegisterEventCallback");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    plog::LogMain("\tEventCallbackFunction = $%d", AsInt(reinterpret_cast<const void*>(EventCallbackFunction)));
    uint32_t index = hCLL;
    if (hCLL == 0 || hCLL >= engine::kLinkTableSize) {
      plog::LogMain("set zero");
      index = 0;
    }
    engine::Module().SetCallback(index, EventCallbackFunction);
    plog::LogMain("end");
    return frame.Finish(PDU_STATUS_NOERROR, ResultLine::kTickTwoBlanks);
  });
}

}  // extern "C"
