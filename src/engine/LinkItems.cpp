#include "engine/LinkItems.h"

#include <memory>
#include <string>

#include "engine/LinkSetup.h"
#include "log/PduLog.h"
#include "mdf/ComParamValue.h"
#include "mdf/Enumerations.h"
#include "mdf/ObjectIds.h"
#include "protocol/LinkComParamSet.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {

namespace plog = pdu::log;

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

// The value line(s) of an item; fieldPrefix goes in front of a field's line.
void LogValue(const PDU_PARAM_ITEM& item, const char* fieldPrefix) {
  if (IsField(item.ComParamDataType)) {
    const FieldView f = ViewField(item.pComParamData, item.ComParamDataType);
    plog::LogMain("%smaxlen = %d,actlen = %d,data = %s", fieldPrefix, static_cast<int>(f.maxLen),
                  static_cast<int>(f.actLen), f.data.c_str());
  } else if (item.ComParamDataType == PDU_PT_STRUCTFIELD) {
    plog::LogMain("\t\t\t*pComParamData = (none)");
  } else {
    plog::LogMain("\t\t\t*pComParamData = %u", mdf::ComParamValueAsU32(item.pComParamData, item.ComParamDataType));
  }
}

// Logs each entry's line and calls fn for each of its ComParams that is no
// byte field (byte fields identify in the table only).
template <typename Fn>
void ForEachIdentifyingParam(const PDU_UNIQUE_RESP_ID_TABLE_ITEM& table, Fn&& fn) {
  for (uint32_t e = 0; e < table.NumEntries; ++e) {
    const PDU_ECU_UNIQUE_RESP_DATA& entry = table.pUniqueData[e];
    plog::LogMain("\t\t\tNumParamItems = %d\tUniqueRespIdentifier = %d", static_cast<int>(entry.NumParamItems),
                  static_cast<int>(entry.UniqueRespIdentifier));
    for (uint32_t i = 0; i < entry.NumParamItems; ++i) {
      if (entry.pParams[i].ComParamDataType != PDU_PT_BYTEFIELD) fn(entry.pParams[i]);
    }
  }
}

}  // namespace

PDU_PARAM_ITEM* NewComParamItem(const protocol::ZPDUProtocolHandling& link, uint32_t paramId) {
  std::unique_ptr<PDU_PARAM_ITEM, ParamItemDeleter> item(new PDU_PARAM_ITEM{PDU_IT_PARAM, paramId, 0, 0, nullptr});
  if (const mdf::ComParamItem* kept = link.comParamSet().findComparamItem(paramId)) {
    item->ComParamDataType = kept->item().ComParamDataType;
    item->ComParamClass = kept->item().ComParamClass;
    item->pComParamData = mdf::CloneComParamValue(kept->item().pComParamData, item->ComParamDataType);
  }
  if (item->pComParamData == nullptr && item->ComParamDataType != PDU_PT_STRUCTFIELD) {
    item->pComParamData = new uint32_t(0);
  }
  plog::LogMain("\t\t\tParamName = %s", ComParamName(paramId).c_str());
  plog::LogMain("\t\t\tComParamID = %d", static_cast<int>(paramId));
  plog::LogMain("\t\t\tComParamClass = %s", mdf::ComParamClassName(item->ComParamClass));
  plog::LogMain("\t\t\tComParamDataType = %s", mdf::ComParamDataTypeName(item->ComParamDataType));
  LogValue(*item, "");
  return item.release();
}

void KeepComParam(protocol::ZPDUProtocolHandling& link, const PDU_PARAM_ITEM& item) {
  LogValue(item, "\t\t");
  link.setComparamItem(item);
}

void KeepUniqueRespTable(protocol::ZPDUProtocolHandling& link, const PDU_UNIQUE_RESP_ID_TABLE_ITEM& given) {
  link.setUniqueRespData(given);
  const PDU_UNIQUE_RESP_ID_TABLE_ITEM& table = *link.comParamSet().uniqueRespData();
  plog::LogMain("\t\t\tNumEntries = %d", static_cast<int>(table.NumEntries));
  ForEachIdentifyingParam(table, [&](const PDU_PARAM_ITEM& item) {
    plog::LogMain("comparamid = %d", static_cast<int>(item.ComParamId));
    const std::string name = ComParamName(item.ComParamId);
    link.setComparamItem(item);
    plog::LogMain("ComParam = [%d] %s\t\t\tValue = %08X", static_cast<int>(item.ComParamId), name.c_str(),
                  mdf::ComParamValueAsU32(item.pComParamData, item.ComParamDataType));
  });
}

PDU_UNIQUE_RESP_ID_TABLE_ITEM* NewUniqueRespTableItem(const protocol::ZPDUProtocolHandling& link) {
  const PDU_UNIQUE_RESP_ID_TABLE_ITEM* stored = link.comParamSet().uniqueRespData();
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
  plog::LogMain("unique_resp_data NumEntries1 = %d", static_cast<int>(table.NumEntries));
  const auto& names = link.uniqueRespComparamMap();
  ForEachIdentifyingParam(table, [&](const PDU_PARAM_ITEM& item) {
    const auto name = names.find(item.ComParamId);
    plog::LogMain("\t\t\t\tComParam = [%d] %s\t\t\t\tValue = %08x", static_cast<int>(item.ComParamId),
                  name != names.end() ? name->second.c_str() : "",
                  mdf::ComParamValueAsU32(item.pComParamData, item.ComParamDataType));
  });
  return copy.release();
}

}  // namespace pdu::engine
