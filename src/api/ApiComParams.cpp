// PDUGetComParam, PDUSetComParam, PDUGetUniqueRespIdTable,
// PDUSetUniqueRespIdTable: the application's view of a link's ComParam set.
//
// Values cross the boundary only as deep copies: what the application hands
// in is cloned into the set, what it gets back is a fresh item that
// PDUDestroyItem releases (a PDU_IT_PARAM item, or a whole table of type
// PDU_IT_UNIQUE_RESP_ID_TABLE). A value set here reaches the VCI at the
// link's next PDUConnect.
#include <memory>
#include <string>

#include "api/ApiFrame.h"
#include "api/LinkHandle.h"
#include "api/StatusName.h"
#include "engine/LinkSetup.h"
#include "log/PduLog.h"
#include "mdf/ComParamValue.h"
#include "mdf/Enumerations.h"
#include "mdf/ObjectIds.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "protocol/LinkComParamSet.h"
#include "protocol/ZPDUProtocolHandling.h"

using pdu::api::ApiFrame;
using pdu::api::EntryLine;
using pdu::api::Guarded;
using pdu::api::ResultLine;
using pdu::api::Tick;
namespace api = pdu::api;
namespace engine = pdu::engine;
namespace mdf = pdu::mdf;
namespace plog = pdu::log;
namespace protocol = pdu::protocol;

namespace {

std::string ComParamName(uint32_t comParamId) { return mdf::ObjectIdToShortName(comParamId, "COMPARAM"); }

// Releases an item that has not been handed out yet.
struct ParamItemDeleter {
  void operator()(PDU_PARAM_ITEM* item) const {
    mdf::FreeComParamValue(item->pComParamData, item->ComParamDataType);
    delete item;
  }
};
struct UniqueTableDeleter {
  void operator()(PDU_UNIQUE_RESP_ID_TABLE_ITEM* table) const { mdf::FreeUniqueRespIdTable(table); }
};

// The value line of a scalar or STRUCTFIELD ComParam (fields have their own).
void LogScalarValue(const PDU_PARAM_ITEM& item) {
  if (item.ComParamDataType == PDU_PT_STRUCTFIELD) {
    plog::LogMain("\t\t\t*pComParamData = (none)");
  } else {
    plog::LogMain("\t\t\t*pComParamData = %u", mdf::ComParamValueAsU32(item.pComParamData, item.ComParamDataType));
  }
}

}  // namespace

extern "C" {

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetComParam(UNUM32 hMod, UNUM32 hCLL, UNUM32 ParamId,
                                               PDU_PARAM_ITEM** pParamItem) {
  return Guarded([&] {
    ApiFrame frame("PDUGetComParam");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    frame.Param("ParamId = %d", static_cast<int>(ParamId));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    if (pParamItem == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);

    std::unique_ptr<PDU_PARAM_ITEM, ParamItemDeleter> item(new PDU_PARAM_ITEM{PDU_IT_PARAM, ParamId, 0, 0, nullptr});
    if (const mdf::ComParamItem* kept = handler->comParamSet().findComparamItem(ParamId)) {
      item->ComParamDataType = kept->item().ComParamDataType;
      item->ComParamClass = kept->item().ComParamClass;
      item->pComParamData = mdf::CloneComParamValue(kept->item().pComParamData, item->ComParamDataType);
    }
    // A ComParam the link does not hold comes back as type 0 with a 4-byte 0.
    if (item->pComParamData == nullptr && item->ComParamDataType != PDU_PT_STRUCTFIELD) {
      item->pComParamData = new uint32_t(0);
    }
    const PDU_PARAM_ITEM& out = *item;
    *pParamItem = item.release();

    plog::LogMain("\t\t\tParamName = %s", ComParamName(ParamId).c_str());
    plog::LogMain("\t\t\tComParamID = %d", static_cast<int>(ParamId));
    plog::LogMain("\t\t\tComParamClass = %s", mdf::ComParamClassName(out.ComParamClass));
    plog::LogMain("\t\t\tComParamDataType = %s", mdf::ComParamDataTypeName(out.ComParamDataType));
    if (engine::IsField(out.ComParamDataType)) {
      const engine::FieldView f = engine::ViewField(out.pComParamData, out.ComParamDataType);
      plog::LogMain("maxlen = %d,actlen = %d,data = %s", static_cast<int>(f.maxLen), static_cast<int>(f.actLen),
                    f.data.c_str());
    } else {
      LogScalarValue(out);
    }
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUSetComParam(UNUM32 hMod, UNUM32 hCLL, PDU_PARAM_ITEM* pParamItem) {
  return Guarded([&] {
    ApiFrame frame("PDUSetComParam");
    // This call's result line starts with a line break.
    auto finish = [&](T_PDU_ERROR status) {
      plog::LogMain("\nPDUSetComParam  %s %d", api::StatusName(status), Tick());
      return frame.Finish(status, ResultLine::kNone);
    };
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    if (pParamItem != nullptr) {
      frame.Param("ComParamID = %d", static_cast<int>(pParamItem->ComParamId));
      frame.Param("ParamName = %s", ComParamName(pParamItem->ComParamId).c_str());
      frame.Param("ComParamClass = %s", mdf::ComParamClassName(pParamItem->ComParamClass));
      frame.Param("ComParamDataType = %s", mdf::ComParamDataTypeName(pParamItem->ComParamDataType));
    }
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return finish(PDU_ERR_INVALID_HANDLE);
    if (pParamItem == nullptr) return finish(PDU_ERR_INVALID_PARAMETERS);

    if (engine::IsField(pParamItem->ComParamDataType)) {
      const engine::FieldView f = engine::ViewField(pParamItem->pComParamData, pParamItem->ComParamDataType);
      plog::LogMain("\t\tmaxlen = %d,actlen = %d,data = %s", static_cast<int>(f.maxLen),
                    static_cast<int>(f.actLen), f.data.c_str());
    } else {
      LogScalarValue(*pParamItem);
    }
    // Stored as given (no check against the module description); the set
    // keeps a clone, the caller keeps its item.
    handler->setComparamItem(*pParamItem);
    return finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUSetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                                        PDU_UNIQUE_RESP_ID_TABLE_ITEM* pUniqueRespIdTable) {
  return Guarded([&] {
    ApiFrame frame("PDUSetUniqueRespIdTable");
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    if (pUniqueRespIdTable == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);

    // The link keeps a deep copy; the table it kept before is released.
    handler->setUniqueRespData(*pUniqueRespIdTable);
    const PDU_UNIQUE_RESP_ID_TABLE_ITEM& table = *handler->comParamSet().uniqueRespData();

    // Each identifying ComParam also becomes a ComParam of the link, so the
    // handler addresses the ECU of the last entry that carries it. Byte
    // fields stay in the table only.
    plog::LogMain("\t\t\tNumEntries = %d", static_cast<int>(table.NumEntries));
    for (uint32_t e = 0; e < table.NumEntries; ++e) {
      const PDU_ECU_UNIQUE_RESP_DATA& entry = table.pUniqueData[e];
      plog::LogMain("\t\t\tNumParamItems = %d\tUniqueRespIdentifier = %d", static_cast<int>(entry.NumParamItems),
                    static_cast<int>(entry.UniqueRespIdentifier));
      for (uint32_t i = 0; i < entry.NumParamItems; ++i) {
        const PDU_PARAM_ITEM& item = entry.pParams[i];
        if (item.ComParamDataType == PDU_PT_BYTEFIELD) continue;
        plog::LogMain("comparamid = %d", static_cast<int>(item.ComParamId));
        const std::string name = ComParamName(item.ComParamId);
        handler->setComparamItem(item);
        plog::LogMain("ComParam = [%d] %s\t\t\tValue = %08X", static_cast<int>(item.ComParamId), name.c_str(),
                      mdf::ComParamValueAsU32(item.pComParamData, item.ComParamDataType));
      }
    }
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                                        PDU_UNIQUE_RESP_ID_TABLE_ITEM** pUniqueRespIdTable) {
  return Guarded([&] {
    ApiFrame frame("PDUGetUniqueRespIdTable", EntryLine::kNone);
    protocol::ZPDUProtocolHandling* handler = api::CheckedLink(hCLL);
    const PDU_UNIQUE_RESP_ID_TABLE_ITEM* stored =
        handler != nullptr ? handler->comParamSet().uniqueRespData() : nullptr;
    const uint32_t numEntries = stored != nullptr ? stored->NumEntries : 0;
    plog::LogMain("pdu_unique_item1 = %d", static_cast<int>(numEntries));
    plog::LogMain("\nPDUGetUniqueRespIdTable %d", Tick());
    frame.Param("hMod = %d", static_cast<int>(hMod));
    frame.Param("hCLL = %d", static_cast<int>(hCLL));
    if (numEntries != 0) {
      plog::LogMain("pdu_unique_item NumParamItems= %d", static_cast<int>(stored->pUniqueData[0].NumParamItems));
    }
    if (handler == nullptr) return frame.Finish(PDU_ERR_INVALID_HANDLE);
    if (pUniqueRespIdTable == nullptr) return frame.Finish(PDU_ERR_INVALID_PARAMETERS);

    // The application gets its own copy and gives it back whole with
    // PDUDestroyItem; the link's table is never handed out.
    std::unique_ptr<PDU_UNIQUE_RESP_ID_TABLE_ITEM, UniqueTableDeleter> copy(
        stored != nullptr ? mdf::CloneUniqueRespIdTable(stored)
                          : new PDU_UNIQUE_RESP_ID_TABLE_ITEM{PDU_IT_UNIQUE_RESP_ID_TABLE, 0, nullptr});
    // The item's type is ours, never the one the application put into the
    // table it set: PDUDestroyItem releases items by their type, and a
    // foreign type would free nothing or free the table as another item.
    copy->ItemType = PDU_IT_UNIQUE_RESP_ID_TABLE;
    for (uint32_t e = 0; copy->pUniqueData != nullptr && e < copy->NumEntries; ++e) {
      PDU_ECU_UNIQUE_RESP_DATA& entry = copy->pUniqueData[e];
      for (uint32_t i = 0; entry.pParams != nullptr && i < entry.NumParamItems; ++i) entry.pParams[i].ItemType = PDU_IT_PARAM;
    }
    const PDU_UNIQUE_RESP_ID_TABLE_ITEM& table = *copy;
    *pUniqueRespIdTable = copy.release();

    plog::LogMain("unique_resp_data NumEntries1 = %d", static_cast<int>(table.NumEntries));
    const auto& names = handler->uniqueRespComparamMap();
    for (uint32_t e = 0; e < table.NumEntries; ++e) {
      const PDU_ECU_UNIQUE_RESP_DATA& entry = table.pUniqueData[e];
      plog::LogMain("\t\t\tNumParamItems = %d\tUniqueRespIdentifier = %d", static_cast<int>(entry.NumParamItems),
                    static_cast<int>(entry.UniqueRespIdentifier));
      for (uint32_t i = 0; i < entry.NumParamItems; ++i) {
        const PDU_PARAM_ITEM& item = entry.pParams[i];
        if (item.ComParamDataType == PDU_PT_BYTEFIELD) continue;
        const auto name = names.find(item.ComParamId);
        plog::LogMain("\t\t\t\tComParam = [%d] %s\t\t\t\tValue = %08x", static_cast<int>(item.ComParamId),
                      name != names.end() ? name->second.c_str() : "",
                      mdf::ComParamValueAsU32(item.pComParamData, item.ComParamDataType));
      }
    }
    return frame.Finish(PDU_STATUS_NOERROR);
  });
}

}  // extern "C"
