// PDUCreateComLogicalLink, PDUDestroyComLogicalLink, PDUConnect,
// PDUDisconnect.
//
// The doors: arguments checked and logged, then the engine room's link
// operation (engine/Links.h) does the work.
//
// Handles that name no link (0, never handed out, above 1023, or a link
// whose protocol has no handler) are refused with PDU_ERR_INVALID_HANDLE
// before anything is touched.
#include "api/ApiFrame.h"
#include "api/LinkHandle.h"
#include "engine/LinkTables.h"
#include "engine/Links.h"
#include "engine/ModuleState.h"
#include "log/PduLog.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace api = pdu::api;
namespace engine = pdu::engine;
namespace plog = pdu::log;
namespace protocol = pdu::protocol;

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUCreateComLogicalLink(UNUM32 hMod, PDU_RSC_DATA* pRscData, UNUM32 resourceId,
                                                        void* pCllTag, UNUM32* phCLL,
                                                        PDU_FLAG_DATA* pCllCreateFlag) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUCreateComLogicalLink");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("resourceId = %d", static_cast<int>(resourceId));
    if (phCLL == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    // LinkTagTable has a row for handles up to 1023 only.
    if (engine::Module().LastLinkHandle() >= engine::kMaxLinkHandle) return frame.Finish(PDU_ERR_FCT_FAILED);
    return frame.Finish(engine::CreateLink(pRscData, resourceId, pCllTag, pCllCreateFlag, phCLL));
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestroyComLogicalLink(UNUM32 hMod, UNUM32 hCLL) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUDestroyComLogicalLink");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    engine::DestroyLink(hMod, hCLL, *handler);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUConnect(UNUM32 hMod, UNUM32 hCLL) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUConnect", api::EntryLine::kTick);
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    plog::LogMain("callbackFunction = $%d", api::AsInt(engine::Module().CallbackTableAddress()));
    plog::LogMain("g_pCoPTag = $%d", api::AsInt(engine::Module().LastLinkTag()));
    engine::ConnectLink(hMod, hCLL, *handler);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDisconnect(UNUM32 hMod, UNUM32 hCLL) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUDisconnect", api::EntryLine::kTick);
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    engine::DisconnectLink(hMod, hCLL, *handler);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

}  // extern "C"
