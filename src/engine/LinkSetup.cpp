#include "engine/LinkSetup.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include "device/DeviceCommands.h"
#include "log/PduLog.h"
#include "mdf/ComParamValue.h"
#include "mdf/MdfTables.h"
#include "mdf/ObjectIds.h"
#include "mdf/VciCodes.h"
#include "protocol/LinkComParamSet.h"
#include "protocol/ZPDUProtocolHandling.h"

namespace pdu::engine {

using log::LogMain;

namespace {

// The pin array getRscData hands out belongs to the caller.
struct RscCopy {
  PDU_RSC_DATA rsc{};
  RscCopy() = default;
  RscCopy(const RscCopy&) = delete;
  RscCopy& operator=(const RscCopy&) = delete;
  ~RscCopy() { protocol::ReleaseRscPins(&rsc); }
};

// The value a UNIQUE_ID ComParam gets in the default table. Its default is
// read as one decimal number (leading blanks and a sign allowed, reading
// stops at the first other character) and stored in the width of its data
// type. Byte and long fields cannot hold a bare number; they take their
// default the way the link's own ComParam does.
void* UniqueDefaultValue(const std::string& text, uint32_t dataType) {
  if (IsField(dataType) || dataType == PDU_PT_STRUCTFIELD) {
    return mdf::ConvertDefaultValue(text.c_str(), dataType);
  }
  const auto number = static_cast<uint32_t>(std::strtoll(text.c_str(), nullptr, 10));
  switch (dataType) {
    case PDU_PT_UNUM8:
    case PDU_PT_SNUM8: {
      const auto v = static_cast<uint8_t>(number);
      return mdf::CloneComParamValue(&v, dataType);
    }
    case PDU_PT_UNUM16:
    case PDU_PT_SNUM16: {
      const auto v = static_cast<uint16_t>(number);
      return mdf::CloneComParamValue(&v, dataType);
    }
    default:
      return mdf::CloneComParamValue(&number, dataType);
  }
}

struct UniqueTableDeleter {
  void operator()(PDU_UNIQUE_RESP_ID_TABLE_ITEM* table) const { mdf::FreeUniqueRespIdTable(table); }
};
using UniqueTablePtr = std::unique_ptr<PDU_UNIQUE_RESP_ID_TABLE_ITEM, UniqueTableDeleter>;

// One entry, identifier 0, the protocol's UNIQUE_ID ComParams in MDF order.
UniqueTablePtr BuildDefaultUniqueTable(const mdf::ComParamRefList* protocol) {
  UniqueTablePtr table(new PDU_UNIQUE_RESP_ID_TABLE_ITEM{PDU_IT_UNIQUE_RESP_ID_TABLE, 0, nullptr});
  table->pUniqueData = new PDU_ECU_UNIQUE_RESP_DATA[1]();
  table->NumEntries = 1;
  if (protocol == nullptr) return table;

  std::vector<const mdf::ComParamRef*> refs;
  for (const mdf::ComParamRef& ref : protocol->ComParamRefs) {
    if (ref.ComParamClass == PDU_PC_UNIQUE_ID) refs.push_back(&ref);
  }
  if (refs.empty()) return table;
  PDU_ECU_UNIQUE_RESP_DATA& entry = table->pUniqueData[0];
  entry.pParams = new PDU_PARAM_ITEM[refs.size()]();
  entry.NumParamItems = static_cast<uint32_t>(refs.size());  // zeroed items free cleanly if a value throws
  for (size_t i = 0; i < refs.size(); ++i) {
    PDU_PARAM_ITEM& item = entry.pParams[i];
    item.ItemType = PDU_IT_PARAM;
    item.ComParamId = refs[i]->ComParamId;
    item.ComParamDataType = refs[i]->ComParamDataType;
    item.ComParamClass = PDU_PC_UNIQUE_ID;
    item.pComParamData = UniqueDefaultValue(refs[i]->DefaultValue, refs[i]->ComParamDataType);
  }
  return table;
}

void SetDefaults(const mdf::ComParamRefList* list, protocol::ZPDUProtocolHandling& link) {
  if (list == nullptr) return;
  for (const mdf::ComParamRef& ref : list->ComParamRefs) {
    // The set keeps its own clone; this one goes when the holder does.
    const mdf::ComParamItem value = mdf::ComParamItem::Adopt(
        ref.ComParamId, ref.ComParamDataType, ref.ComParamClass,
        mdf::ConvertDefaultValue(ref.DefaultValue.c_str(), ref.ComParamDataType));
    link.setComparamItem(value.item());
  }
}

}  // namespace

bool IsField(uint32_t dataType) { return dataType == PDU_PT_BYTEFIELD || dataType == PDU_PT_LONGFIELD; }

FieldView ViewField(const void* value, uint32_t dataType) {
  FieldView v;
  if (value == nullptr || !IsField(dataType)) return v;
  const uint8_t* bytes = nullptr;
  if (dataType == PDU_PT_BYTEFIELD) {
    const auto* f = static_cast<const PDU_PARAM_BYTEFIELD_DATA*>(value);
    v.maxLen = f->ParamMaxLen;
    v.actLen = f->ParamActLen;
    bytes = f->pDataArray;
  } else {
    const auto* f = static_cast<const PDU_PARAM_LONGFIELD_DATA*>(value);
    v.maxLen = f->ParamMaxLen;
    v.actLen = f->ParamActLen;
    bytes = reinterpret_cast<const uint8_t*>(f->pDataArray);
  }
  if (bytes != nullptr && v.actLen != 0) v.data = log::HexString(bytes, v.actLen, true);
  return v;
}

MdfName ResolveMdfName(std::string_view name) {
  MdfName out;
  out.ShortName = std::string(name);
  if (mdf::ObjectIdByShortName(name, out.ObjectId)) return out;
  if (!name.empty()) {
    if (const mdf::MdfObject* object = mdf::MdfObjectByKey(name)) {
      out.ObjectId = object->ObjectId;
      out.ShortName = object->ShortName;
      return out;
    }
  }
  out.ObjectId = 0;
  return out;
}

std::string DumpRscData(const PDU_RSC_DATA& rsc) {
  std::string text;
  text += "\t\t\tpRscData->ProtpcolId = " + std::to_string(rsc.ProtocolId);
  text += "\n\t\t\t\tProtocolName = " + mdf::ObjectIdToShortName(rsc.ProtocolId, "PROTOCOL");
  text += "\n\t\t\tpRscData->BusTypeId = " + std::to_string(rsc.BusTypeId);
  text += "\n\t\t\t\tBustypeName = " + mdf::ObjectIdToShortName(rsc.BusTypeId, "BUSTYPE");
  text += "\n\t\t\tpRscData->NumPinData = " + std::to_string(rsc.NumPinData);
  text += "\n\t\t\tDLCPinCount: " + std::to_string(rsc.NumPinData);
  if (rsc.pDLCPinData != nullptr) {
    for (uint32_t i = 0; i < rsc.NumPinData; ++i) {
      text += "\n\t\t\tDLCPinTypeId = " + std::to_string(rsc.pDLCPinData[i].DLCPinTypeId) +
              "  DLCPinNumber = " + std::to_string(rsc.pDLCPinData[i].DLCPinNumber);
    }
  }
  return text;
}

void ApplyMdfDefaults(uint32_t protocolId, uint32_t busTypeId, protocol::ZPDUProtocolHandling& link) {
  const mdf::ComParamRefList* protocol = mdf::FindProtocolComParams(protocolId);
  LogMain("protocol comparam");
  SetDefaults(protocol, link);

  LogMain("bustype comparam");
  SetDefaults(mdf::FindBusTypeComParams(busTypeId), link);

  LogMain("unique table");
  const UniqueTablePtr table = BuildDefaultUniqueTable(protocol);
  link.setUniqueRespData(*table);  // the link keeps a deep copy
}

T_PDU_ERROR SendLinkSetup(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& link) {
  link.CllStatus.store(PDU_CLLST_ONLINE);
  RscCopy copy;
  link.getRscData(&copy.rsc);
  PDU_FLAG_DATA flags{};
  link.getCllCreateFlag(&flags);  // the set's own bytes: not released here
  if (log::MainLogOn()) LogMain("%s", DumpRscData(copy.rsc).c_str());

  // The VCI knows bus types and protocols by its own codes, not by the
  // object ids of the module description.
  PDU_RSC_DATA wire = copy.rsc;
  wire.BusTypeId = mdf::GetVciCode(mdf::ObjectIdToShortName(copy.rsc.BusTypeId, "BUSTYPE"));
  wire.ProtocolId = mdf::GetVciCode(mdf::ObjectIdToShortName(copy.rsc.ProtocolId, "PROTOCOL"));
  return device::VciSetLinkResource(hMod, hCLL, wire, &flags);
}

T_PDU_ERROR ForwardLinkComParams(uint32_t hMod, uint32_t hCLL, protocol::ZPDUProtocolHandling& link) {
  T_PDU_ERROR last = PDU_STATUS_NOERROR;
  for (const mdf::ComParamItem& kept : link.comParamSet().comparamItems()) {
    const PDU_PARAM_ITEM& item = kept.item();
    const std::string name = mdf::ObjectIdToShortName(item.ComParamId, "COMPARAM");
    const uint32_t code = mdf::GetVciCode(name);
    // ComParams the VCI does not take (identifiers, addressing, ...) and
    // ComParams without a value stay on this side.
    if (code == mdf::kNoVciCode || item.ComParamDataType == PDU_PT_STRUCTFIELD) continue;

    LogMain("%s", name.c_str());
    last = device::VciSetLinkParam(hMod, hCLL, code, item);
    if (last != PDU_STATUS_NOERROR) {
      LogMain("\t\tcomparam name = %s set fail", name.c_str());
    } else if (IsField(item.ComParamDataType)) {
      const FieldView f = ViewField(item.pComParamData, item.ComParamDataType);
      LogMain("\t\tcomparam name = %s malen = %d  act len = %d  data = %s set success", name.c_str(),
              static_cast<int>(f.maxLen), static_cast<int>(f.actLen), f.data.c_str());
    } else {
      LogMain("\t\tcomparam name = %s value = %d set success", name.c_str(), static_cast<int>(kept.AsU32()));
    }
  }
  return last;
}

}  // namespace pdu::engine
