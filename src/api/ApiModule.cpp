// The module's answers about itself: one VCI with a fixed identity, its
// version data from PDUAPI_7318.ini, its status; the resource and error
// queries are accepted and answered without content.
#include "api/ApiFrame.h"
#include "engine/ModuleState.h"
#include "engine/CopQueues.h"
#include "engine/EventItems.h"
#include "log/StructureDump.h"
#include "mdf/VersionData.h"

namespace api = pdu::api;
namespace engine = pdu::engine;
namespace plog = pdu::log;

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetModuleIds(PDU_MODULE_ITEM** pModuleIdList) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUGetModuleIds");
    if (pModuleIdList == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    *pModuleIdList = engine::NewModuleIdItem();
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetVersion(UNUM32 hMod, PDU_VERSION_DATA* pVersionData) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUGetVersion");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    const PDU_VERSION_DATA v = pdu::mdf::ReadVersionData();
    if (pVersionData != nullptr) *pVersionData = v;
    if (plog::MainLogOn()) plog::LogMain("%s", plog::DumpVersionData(v).c_str());
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetStatus(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP, T_PDU_STATUS* pStatusCode,
                                             UNUM32* pTimestamp, UNUM32* pExtraInfo) {
  return api::Guarded([&] {
    api::ApiFrame frame("PDUGetStatus");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    plog::LogMain("\thCoP = %d", static_cast<int>(hCoP));
    if (pStatusCode == nullptr || pTimestamp == nullptr || pExtraInfo == nullptr) {
      return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    }
    engine::ModuleStatusNow(pStatusCode, pTimestamp, pExtraInfo);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetResourceIds(UNUM32, PDU_RSC_DATA*, PDU_RSC_ID_ITEM**) {
  return api::Guarded([] {
    api::ApiFrame frame("PDUGetResourceIds");
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetConflictingResources(UNUM32, PDU_MODULE_ITEM*, PDU_RSC_CONFLICT_ITEM**) {
  return api::Guarded([] {
    api::ApiFrame frame("PDUGetConflictingResources", api::EntryLine::kNone);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetLastError(UNUM32, UNUM32, T_PDU_ERR_EVT*, UNUM32*, UNUM32*, UNUM32*) {
  return api::Guarded([] {
    api::ApiFrame frame("PDUGetLastError", api::EntryLine::kNewlineNoTick);
    return frame.Finish(PDU_STATUS_NOERROR, api::ResultLine::kNoTick);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetResourceStatus(PDU_RSC_STATUS_ITEM*) {
  return api::Guarded([] {
    api::ApiFrame frame("PDUGetResourceStatus", api::EntryLine::kNewlineNoTick);
    return frame.Finish(PDU_STATUS_NOERROR, api::ResultLine::kNoTick);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetTimestamp(UNUM32, UNUM32*) {
  return api::Guarded([] {
    // The VCI keeps no clock the application could use; the output stays
    // as the caller set it.
    api::ApiFrame frame("PDUGetTimestamp");
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

}  // extern "C"
