#include "engine/EventItems.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/ApiLock.h"
#include "engine/LinkTables.h"
#include "engine/ModuleState.h"
#include "log/PduLog.h"
#include "log/StructureDump.h"
#include "mdf/ComParamValue.h"
#include "mdf/Enumerations.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace pdu::engine {

const char* StatusValueName(uint32_t status) {
  switch (status) {
    case PDU_COPST_IDLE: return "PDU_COPST_IDLE";
    case PDU_COPST_EXECUTING: return "PDU_COPST_EXECUTING";
    case PDU_COPST_FINISHED: return "PDU_COPST_FINISHED";
    case PDU_COPST_CANCELLED: return "PDU_COPST_CANCELLED";
    case PDU_COPST_WAITING: return "PDU_COPST_WAITING";
    case PDU_CLLST_OFFLINE: return "PDU_CLLST_OFFLINE";
    case PDU_CLLST_ONLINE: return "PDU_CLLST_ONLINE";
    case PDU_CLLST_COMM_STARTED: return "PDU_CLLST_COMM_STARTED";
    case PDU_MODST_READY: return "PDU_MODST_READY";
    case PDU_MODST_NOT_READY: return "PDU_MODST_NOT_READY";
    case PDU_MODST_NOT_AVAIL: return "PDU_MODST_NOT_AVAIL";
    case PDU_MODST_AVAIL: return "PDU_MODST_AVAIL";
    default: return "UNKNOWN";
  }
}

const char* CoPTypeName(uint32_t copType) {
  switch (copType) {
    case PDU_COPT_STARTCOMM: return "PDU_COPT_STARTCOM";
    case PDU_COPT_STOPCOMM: return "PDU_COPT_STOPCOMM";
    case PDU_COPT_UPDATEPARAM: return "PDU_COPT_UPDATEPARAM";
    case PDU_COPT_SENDRECV: return "PDU_COPT_SENDRECV";
    case PDU_COPT_DELAY: return "PDU_COPT_DELAY";
    case PDU_COPT_RESTORE_PARAM: return "PDU_COPT_RESTORE_PARAM";
    default: return "UNKNOW";
  }
}

bool TakeLinkEvent(uint32_t hCLL, CopEvent& out) { return Module().TakeEventOf(hCLL, out); }

namespace {

PDU_EVENT_ITEM* NewEventItem(uint32_t type, uint32_t hCop, void* tag, uint32_t timestamp, void* data) {
  auto* item = new PDU_EVENT_ITEM{};
  item->ItemType = type;
  item->hCop = hCop;
  item->pCoPTag = tag;
  item->Timestamp = timestamp;
  item->pData = data;
  return item;
}

void LogItemHead(const PDU_EVENT_ITEM& item) {
  log::LogMain("\t\thCoP=%d", static_cast<int>(item.hCop));
  log::LogMain("\t\tItemType = %s", mdf::ItemTypeName(item.ItemType));
}

void LogItemTail(const PDU_EVENT_ITEM& item) {
  log::LogMain("\t\tCopTag = %d", static_cast<int>(reinterpret_cast<intptr_t>(item.pCoPTag)));
  log::LogMain("\t\tTimeStamp = %d", static_cast<int>(item.Timestamp));
}

uint8_t* CopyBytes(const uint8_t* src, uint32_t count) {
  if (count == 0 || src == nullptr) return nullptr;
  auto* dst = new uint8_t[count];
  std::memcpy(dst, src, count);
  return dst;
}

}  // namespace

int BuildStatusItem(const CopEvent&, uint32_t status, uint32_t hCop, void* tag, PDU_EVENT_ITEM** item) {
  auto* value = new uint32_t(status);
  *item = NewEventItem(PDU_IT_STATUS, hCop, tag, platform::ClockTicks(), value);
  LogItemHead(**item);
  log::LogMain("\t\t\t%s", StatusValueName(status));
  LogItemTail(**item);
  return 0;
}

int BuildResultItem(CopEvent& event, PDU_EVENT_ITEM** item) {
  PDU_RESULT_DATA* result = event.pResultData;
  event.pResultData = nullptr;  // the item owns it now
  const uint32_t now = platform::ClockTicks();
  if (result != nullptr) result->StartMsgTimestamp = now - 10;
  log::LogMain("pdu_result_data = %d", static_cast<int>(reinterpret_cast<intptr_t>(result)));
  *item = NewEventItem(PDU_IT_RESULT, event.Cop, event.CoPTag, now, result);
  LogItemHead(**item);
  if (result != nullptr && log::MainLogOn()) log::LogMain("%s", log::DumpResultData(*result).c_str());
  LogItemTail(**item);
  return 0;
}

int BuildErrorItem(const CopEvent& event, PDU_EVENT_ITEM** item) {
  // A lost VCI carries its own code and no extra information.
  auto* error = event.ErrorCode != 0 ? new PDU_ERROR_DATA{event.ErrorCode, 0}
                                     : new PDU_ERROR_DATA{PDU_ERR_EVT_RX_TIMEOUT, 24};
  *item = NewEventItem(PDU_IT_ERROR, event.Cop, event.CoPTag, 0, error);
  LogItemHead(**item);
  log::LogMain("\t\t\tErrorCode = %d", static_cast<int>(error->ErrorCodeId));
  log::LogMain("\t\t\tErrorInfoId = %d", static_cast<int>(error->ExtraErrorInfoId));
  LogItemTail(**item);
  return 0;
}

void CopyResultData(PDU_RESULT_DATA& out) {
  out = PDU_RESULT_DATA{};
  const PDU_RESULT_DATA* src = Module().LastResult();
  if (src == nullptr) return;
  out = *src;
  out.RxFlag.pFlagData = CopyBytes(src->RxFlag.pFlagData, src->RxFlag.NumFlagBytes);
  out.TimestampFlags.pFlagData = CopyBytes(src->TimestampFlags.pFlagData, src->TimestampFlags.NumFlagBytes);
  out.pExtraInfo = new PDU_EXTRA_INFO{};
  if (src->pExtraInfo != nullptr) {
    out.pExtraInfo->NumHeaderBytes = src->pExtraInfo->NumHeaderBytes;
    out.pExtraInfo->NumFooterBytes = src->pExtraInfo->NumFooterBytes;
    out.pExtraInfo->pHeaderBytes = CopyBytes(src->pExtraInfo->pHeaderBytes, src->pExtraInfo->NumHeaderBytes);
    out.pExtraInfo->pFooterBytes = CopyBytes(src->pExtraInfo->pFooterBytes, src->pExtraInfo->NumFooterBytes);
  }
  out.pDataBytes = CopyBytes(src->pDataBytes, src->NumDataBytes);
}

void CallbackThread() {
  uint32_t hMod = 0;
  uint32_t hCLL = 0;
  uint32_t hCoP = 0;
  size_t jobs = 0;
  size_t events = 0;
  CALLBACKFNC callback = nullptr;
  void* tag = nullptr;
  {
    // The tables are written by API calls under the ApiLock (a callback
    // registered or a link created while this runs): read them under it
    // too; the callback itself runs without it.
    ModuleState& m = Module();
    ApiLockGuard lock(g_ApiLock);
    if (const CopJob* front = m.FrontJob()) {
      hMod = front->hMod;
      hCLL = front->hCLL;
      hCoP = front->hCoP;
    }
    jobs = m.QueuedJobs();
    events = m.QueuedEvents();
    callback = m.CallbackAt(hCLL < kLinkTableSize ? hCLL : 0);
    tag = m.LinkTagOf(hCLL);
  }
  if (callback != nullptr) {
    // Once teardown has begun the application's code may be half gone:
    // its callback is not called any more.
    if (events != 0 && !Module().Exiting()) {
      log::LogMain("time tickcout = %d,current cll = %d current eventque cop = %d,event size = %d,cop size = %d",
                   static_cast<int>(platform::ClockTicks()), static_cast<int>(hCLL), static_cast<int>(hCoP),
                   static_cast<int>(jobs), static_cast<int>(events));
      log::LogMain("hMod = %d hCLL = %d Tag = %d callback = %d", static_cast<int>(hMod), static_cast<int>(hCLL),
                   static_cast<int>(reinterpret_cast<intptr_t>(tag)),
                   static_cast<int>(reinterpret_cast<intptr_t>(callback)));
      callback(PDU_EVT_DATA_AVAILABLE, hMod, hCLL, tag, nullptr);
    }
  } else {
    log::LogData("[%d]callback = null", static_cast<int>(hCLL));
    ApiLockGuard lock(g_ApiLock);
    CopEvent dropped;
    if (TakeLinkEvent(hCLL, dropped)) FreeResultData(dropped.pResultData);
  }
  log::LogMain("CallbackThread quit");
}

namespace {

// Status, result and error items: the item and what its pData points to.
void DestroyEventItem(PDU_EVENT_ITEM* ev) {
  switch (ev->ItemType) {
    case PDU_IT_STATUS:
      log::LogMain("PDU_IT_STATUS");
      delete static_cast<uint32_t*>(ev->pData);
      break;
    case PDU_IT_RESULT:
      log::LogMain("PDU_IT_RESULT");
      FreeResultData(static_cast<PDU_RESULT_DATA*>(ev->pData));
      break;
    default:  // PDU_IT_ERROR: the only other type DestroyItem passes on
      log::LogMain("PDU_IT_ERROR");
      delete static_cast<PDU_ERROR_DATA*>(ev->pData);
      break;
  }
  delete ev;
}

void DestroyModuleItem(PDU_MODULE_ITEM* mod) {
  if (mod->pModuleData != nullptr) {
    for (uint32_t i = 0; i < mod->NumEntries; ++i) {
      delete[] mod->pModuleData[i].pVendorModuleName;
      delete[] mod->pModuleData[i].pVendorAdditionalInfo;
    }
    delete[] mod->pModuleData;
  }
  delete mod;
}

}  // namespace

void DestroyItem(PDU_ITEM* item) {
  switch (item->ItemType) {
    case PDU_IT_IO_UNUM32: {
      auto* data = reinterpret_cast<PDU_DATA_ITEM*>(item);
      delete[] static_cast<uint32_t*>(data->pData);
      delete data;
      return;
    }
    case PDU_IT_STATUS:
    case PDU_IT_RESULT:
    case PDU_IT_ERROR:
      DestroyEventItem(reinterpret_cast<PDU_EVENT_ITEM*>(item));
      return;
    case PDU_IT_PARAM: {
      log::LogMain("PDU_IT_PARAM");
      auto* param = reinterpret_cast<PDU_PARAM_ITEM*>(item);
      mdf::FreeComParamValue(param->pComParamData, param->ComParamDataType);
      delete param;
      return;
    }
    case PDU_IT_MODULE_ID:
      log::LogMain("PDU_IT_MODULE_ID");
      DestroyModuleItem(reinterpret_cast<PDU_MODULE_ITEM*>(item));
      return;
    case PDU_IT_UNIQUE_RESP_ID_TABLE:
      mdf::FreeUniqueRespIdTable(reinterpret_cast<PDU_UNIQUE_RESP_ID_TABLE_ITEM*>(item));
      return;
    case PDU_IT_IO_PROG_VOLTAGE: log::LogMain("PDU_IT_IO_PROG_VOLTAGE"); return;
    case PDU_IT_IO_BYTEARRAY: log::LogMain("PDU_IT_IO_BYTEARRAY"); return;
    case PDU_IT_IO_FILTER: log::LogMain("PDU_IT_IO_FILTER"); return;
    case PDU_IT_IO_EVENT_QUEUE_PROPERTY: log::LogMain("PDU_IT_IO_EVENT_QUEUE_PROPERTY"); return;
    case PDU_IT_RSC_STATUS: log::LogMain("PDU_IT_RSC_STATUS"); return;
    case PDU_IT_INFO: log::LogMain("PDU_IT_INFO"); return;
    case PDU_IT_IO_VEHICLE_ID_REQUEST: log::LogMain("PDU_IT_IO_VEHICLE_ID_REQUEST"); return;
    case PDU_IT_IO_ENTITY_ADDRESS: log::LogMain("PDU_IT_IO_ENTITY_ADDRESS"); return;
    case PDU_IT_IO_ENTITY_STATUS: log::LogMain("PDU_IT_IO_ENTITY_STATUS"); return;
    default: return;
  }
}

namespace {

// Turns one ComPrimitive event into an item; 0x71 when the event yields none
// (it is consumed all the same).
T_PDU_ERROR ComPrimitiveItem(uint32_t hCLL, CopEvent& ev, PDU_EVENT_ITEM** out)
    PDU_REQUIRES(g_ApiLock) {
  const int cll = static_cast<int>(hCLL);
  const int cop = static_cast<int>(ev.Cop);
  T_PDU_ERROR result = PDU_ERR_EVENT_QUEUE_EMPTY;
  if (ev.CoPType == PDU_COPT_UPDATEPARAM) {
    log::LogMain("currentEvent.Cop= %d status = %d", cop, static_cast<int>(ev.Status));
  } else if (ev.CoPType == PDU_COPT_SENDRECV) {
    log::LogMain("currentCopEvent.result_len = %d", static_cast<int>(ev.result_len));
  }
  const bool talking = ev.CoPType == PDU_COPT_SENDRECV || ev.CoPType == PDU_COPT_STARTCOMM ||
                       ev.CoPType == PDU_COPT_STOPCOMM;
  if (ev.CoPType == PDU_COPT_UPDATEPARAM || talking) {
    if (ev.Status == PDU_COPST_FINISHED && (ev.CoPType == PDU_COPT_UPDATEPARAM || ev.result_len == 0)) {
      result = BuildStatusItem(ev, PDU_COPST_FINISHED, ev.Cop, ev.CoPTag, out);
      log::LogData("<<<[%d  %d] status = %s\r\n", cll, cop, StatusValueName(PDU_COPST_FINISHED));
    } else if (ev.Status == PDU_COPST_FINISHED) {
      result = BuildResultItem(ev, out);
      log::LogData(">>>[%d  %d] status = result", cll, cop);
    } else if (ev.Status == PDU_COPST_EXECUTING) {
      result = BuildStatusItem(ev, PDU_COPST_EXECUTING, ev.Cop, ev.CoPTag, out);
      log::LogData(">>>[%d  %d] status = %s", cll, cop, StatusValueName(PDU_COPST_EXECUTING));
    } else if (ev.Status == PDU_COPST_IDLE && ev.IsError == 1 && talking) {
      result = BuildErrorItem(ev, out);
      if (ev.CoPType == PDU_COPT_STARTCOMM) {
        log::LogData(">>>[%d %d] status = error", cll, cop);
      } else {
        log::LogData(">>>[%d  %d] status = error", cll, cop);
      }
    }
  }
  // An event that became no item still owns its result copy.
  FreeResultData(ev.pResultData);
  ev.pResultData = nullptr;
  log::LogMain("queue size1 = %d", static_cast<int>(Module().QueuedEvents()));
  log::LogMain("a event end");
  return result;
}

}  // namespace

T_PDU_ERROR TakeEventItem(uint32_t hCLL, PDU_EVENT_ITEM** out) {
  T_PDU_ERROR result = PDU_ERR_EVENT_QUEUE_EMPTY;
  CopEvent ev;
  if (hCLL >= 1 && Module().QueuedEvents() != 0 && TakeLinkEvent(hCLL, ev)) {
    if (ev.EventKind == kEventKindLinkStatus) {
      result = BuildStatusItem(ev, ev.CllStatus, 0xFFFFFFFFu, nullptr, out);
      log::LogMain("queue cllstatus size = %d", static_cast<int>(Module().QueuedEvents()));
      log::LogData(">>>[%d  %d] status = %s\r\n", static_cast<int>(hCLL), static_cast<int>(ev.Cop),
                    StatusValueName(ev.CllStatus));
      FreeResultData(ev.pResultData);
    } else {
      result = ComPrimitiveItem(hCLL, ev, out);
    }
  }
  return result;
}

namespace {

constexpr size_t kIdentityTextSize = 512;
constexpr const char* kVciAddress = "127.0.0.1";

char* NewIdentityText(const std::string& text) {
  char* buf = new char[kIdentityTextSize]();
  std::snprintf(buf, kIdentityTextSize, "%s", text.c_str());
  return buf;
}

}  // namespace

PDU_MODULE_ITEM* NewModuleIdItem() {
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
  log::LogMain("\n\t\tpItemList.ItemType = %d", static_cast<int>(item->ItemType));
  log::LogMain("\t\tpItemList.NumEntries = %d", static_cast<int>(item->NumEntries));
  for (uint32_t i = 0; i < item->NumEntries; ++i) {
    const PDU_MODULE_DATA& d = item->pModuleData[i];
    const int n = static_cast<int>(i);
    log::LogMain("\t\tpItemList.pModuleData[%d].thMod = %d", n, static_cast<int>(d.hMod));
    log::LogMain("\t\tpItemList.pModuleData[%d].ModuleStatus = %d", n, static_cast<int>(d.ModuleStatus));
    log::LogMain("\t\tpItemList.pModuleData[%d].ModuleTypeId = %d", n, static_cast<int>(d.ModuleTypeId));
    log::LogMain("\t\tpItemList.pModuleData[%d].pVendorModuleName = %s", n, d.pVendorModuleName);
    log::LogMain("\t\tpItemList.pModuleData[%d].pVendorAdditionalInfo = %s", n, d.pVendorAdditionalInfo);
  }
  return item;
}

void ModuleStatusNow(T_PDU_STATUS* pStatusCode, uint32_t* pTimestamp, uint32_t* pExtraInfo) {
  *pStatusCode = Module().ModuleStatus();
  log::LogMain(Module().CopIdle() != 0 ? "hardware return" : "pc return");
  *pTimestamp = platform::ClockTicks();
  log::LogMain("\t\t*pTimestamp = %d", static_cast<int>(*pTimestamp));
  *pExtraInfo = 0xFFFFFFFEu;
  log::LogMain("\t\t*pExtraInfo = %08x", *pExtraInfo);
  log::LogMain("\t\t*pStatusCode = %s", StatusValueName(*pStatusCode));
}

}  // namespace pdu::engine
