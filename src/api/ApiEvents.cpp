// PDUGetEventItem, PDUDestroyItem, PDURegisterEventCallback: the
// application's side of the event queue.
#include <cstdint>

#include "api/ApiFrame.h"
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

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetEventItem(UNUM32 hMod, UNUM32 hCLL, PDU_EVENT_ITEM** pEventItem) {
  return Guarded([&] {
    ApiFrame frame("PDUGetEventItem");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    if (pEventItem == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    return frame.Finish(engine::TakeEventItem(hCLL, pEventItem));
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
