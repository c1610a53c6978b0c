// PDUGetEventItem, PDUDestroyItem, PDURegisterEventCallback: the
// application's side of the event queue.
#include <cstdint>

#include "api/ApiFrame.h"
#include "engine/EventItems.h"
#include "engine/LinkTables.h"
#include "engine/ModuleState.h"

namespace api = pdu::api;
namespace engine = pdu::engine;
namespace plog = pdu::log;

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetEventItem(UNUM32 hMod, UNUM32 hCLL, PDU_EVENT_ITEM** pEventItem) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUGetEventItem");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    if (pEventItem == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    return frame.Finish(engine::TakeEventItem(hCLL, pEventItem));
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestroyItem(PDU_ITEM* pItem) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUDestroyItem", api::EntryLine::kTick);
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
  return api::Guarded([&] {
    api::ApiFrame frame("PDURegisterEventCallback");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    plog::LogMain("\tEventCallbackFunction = $%d", api::AsInt(reinterpret_cast<const void*>(EventCallbackFunction)));
    uint32_t index = hCLL;
    if (hCLL == 0 || hCLL >= engine::kLinkTableSize) {
      plog::LogMain("set zero");
      index = 0;
    }
    engine::Module().SetCallback(index, EventCallbackFunction);
    plog::LogMain("end");
    return frame.Finish(PDU_STATUS_NOERROR, api::ResultLine::kTickTwoBlanks);
  });
}

}  // extern "C"
