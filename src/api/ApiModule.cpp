// The module's answers about itself: one VCI with a fixed identity, its
// version data from PDUAPI_7318.ini, its status; the resource and error
// queries are accepted and answered without content.
#include <cstdio>
#include <cstring>
#include <string>

#include "api/ApiFrame.h"
#include "engine/ModuleState.h"
#include "engine/CopQueues.h"
#include "engine/EventItems.h"
#include "log/StructureDump.h"
#include "mdf/VersionData.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

using pdu::api::ApiFrame;
using pdu::api::EntryLine;
using pdu::api::Guarded;
using pdu::api::ResultLine;
namespace api = pdu::api;
namespace engine = pdu::engine;
namespace plog = pdu::log;
namespace platform = pdu::platform;

namespace {

constexpr size_t kIdentityTextSize = 512;
constexpr const char* kVciAddress = "127.0.0.1";

char* NewIdentityText(const std::string& text) {
  char* buf = new char[kIdentityTextSize]();
  std::snprintf(buf, kIdentityTextSize, "%s", text.c_str());
  return buf;
}

}  // namespace

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetModuleIds(PDU_MODULE_ITEM** pModuleIdList) {
  return Guarded([&] {
    ApiFrame frame("PDUGetModuleIds");
    if (pModuleIdList == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    auto* item = new PDU_MODULE_ITEM{};
    item->ItemType = PDU_IT_MODULE_ID;
    item->NumEntries = 1;
    item->pModuleData = new PDU_MODULE_DATA[1]{};
    PDU_MODULE_DATA& m = item->pModuleData[0];
    m.ModuleTypeId = 3;
    m.hMod = 1;
    m.ModuleStatus = PDU_MODST_AVAIL;
    m.pVendorModuleName = NewIdentityText(
        std::string("VendorName='Norvik Delta GmbH' ModuleName='QDM7318' SerialNumber='7042519' "
                    "PersonalVciID='00' IP='") +
        kVciAddress + "' ConnectionType='USB' Status='available'");
    m.pVendorAdditionalInfo = NewIdentityText("Interface='USB'");
    *pModuleIdList = item;
    plog::LogMain("\n\t\tpItemList.ItemType = %d", static_cast<int>(item->ItemType));
    plog::LogMain("\t\tpItemList.NumEntries = %d", static_cast<int>(item->NumEntries));
    for (uint32_t i = 0; i < item->NumEntries; ++i) {
      const PDU_MODULE_DATA& d = item->pModuleData[i];
      const int n = static_cast<int>(i);
      plog::LogMain("\t\tpItemList.pModuleData[%d].thMod = %d", n, static_cast<int>(d.hMod));
      plog::LogMain("\t\tpItemList.pModuleData[%d].ModuleStatus = %d", n, static_cast<int>(d.ModuleStatus));
      plog::LogMain("\t\tpItemList.pModuleData[%d].ModuleTypeId = %d", n, static_cast<int>(d.ModuleTypeId));
      plog::LogMain("\t\tpItemList.pModuleData[%d].pVendorModuleName = %s", n, d.pVendorModuleName);
      plog::LogMain("\t\tpItemList.pModuleData[%d].pVendorAdditionalInfo = %s", n, d.pVendorAdditionalInfo);
    }
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetVersion(UNUM32 hMod, PDU_VERSION_DATA* pVersionData) {
  return Guarded([&] {
    ApiFrame frame("PDUGetVersion");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    const PDU_VERSION_DATA v = pdu::mdf::ReadVersionData();
    if (pVersionData != nullptr) *pVersionData = v;
    if (plog::MainLogOn()) plog::LogMain("%s", plog::DumpVersionData(v).c_str());
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetStatus(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP, T_PDU_STATUS* pStatusCode,
                                             UNUM32* pTimestamp, UNUM32* pExtraInfo) {
  return Guarded([&] {
    ApiFrame frame("PDUGetStatus");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    plog::LogMain("\thCoP = %d", static_cast<int>(hCoP));
    if (pStatusCode == nullptr || pTimestamp == nullptr || pExtraInfo == nullptr) {
      return frame.Finish(PDU_ERR_INVALID_PARAMETERS);
    }
    *pStatusCode = engine::Module().ModuleStatus();
    plog::LogMain(engine::Module().CopIdle() != 0 ? "hardware return" : "pc return");
    *pTimestamp = platform::ClockTicks();
    plog::LogMain("\t\t*pTimestamp = %d", static_cast<int>(*pTimestamp));
    *pExtraInfo = 0xFFFFFFFEu;
    plog::LogMain("\t\t*pExtraInfo = %08x", *pExtraInfo);
    plog::LogMain("\t\t*pStatusCode = %s", engine::StatusValueName(*pStatusCode));
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetResourceIds(UNUM32, PDU_RSC_DATA*, PDU_RSC_ID_ITEM**) {
  return Guarded([] {
    ApiFrame frame("PDUGetResourceIds");
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetConflictingResources(UNUM32, PDU_MODULE_ITEM*, PDU_RSC_CONFLICT_ITEM**) {
  return Guarded([] {
    ApiFrame frame("PDUGetConflictingResources", EntryLine::kNone);
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetLastError(UNUM32, UNUM32, T_PDU_ERR_EVT*, UNUM32*, UNUM32*, UNUM32*) {
  return Guarded([] {
    ApiFrame frame("PDUGetLastError", EntryLine::kNewlineNoTick);
    return frame.Finish(PDU_STATUS_NOERROR, ResultLine::kNoTick);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetResourceStatus(PDU_RSC_STATUS_ITEM*) {
  return Guarded([] {
    ApiFrame frame("PDUGetResourceStatus", EntryLine::kNewlineNoTick);
    return frame.Finish(PDU_STATUS_NOERROR, ResultLine::kNoTick);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetTimestamp(UNUM32, UNUM32*) {
  return Guarded([] {
    // The VCI keeps no clock the application could use; the output stays
    // as the caller set it.
    ApiFrame frame("PDUGetTimestamp");
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

}  // extern "C"
