#include "protocol/LinkComParamSet.h"

#include <algorithm>
#include <cstring>

#include "log/PduLog.h"
#include "protocol/ComParamNames.h"

namespace pdu::protocol {

using log::LogMain;

LinkComParamSet::LinkComParamSet() = default;
LinkComParamSet::~LinkComParamSet() = default;

bool LinkComParamSet::setcomparamData_var(const char* name, uint32_t value) {
  LogMain("setcomparamData_var");
  LogMain("s=%s", name ? name : "");
  LogMain("v=%u", value);
  if (name == nullptr) return true;
  ComparamVarMap.emplace(name, value);  // an existing value stays
  return true;
}

bool LinkComParamSet::changecomparamData_var(const char* name, uint32_t value) {
  LogMain("changecomparamData_var");
  if (name != nullptr) {
    auto it = ComparamVarMap.find(name);
    if (it != ComparamVarMap.end()) {
      it->second = value;
      LogMain("szShortName = %s value = %u", name, value);
      return true;
    }
  }
  return setcomparamData_var(name, value);
}

bool LinkComParamSet::findcomparamData_var(const char* name) const {
  if (name == nullptr) return false;
  auto it = ComparamVarMap.find(name);
  if (it == ComparamVarMap.end()) return false;
  LogMain("szShortName = %s value = %u", name, it->second);
  return true;
}

void LinkComParamSet::clearComparam_var() {
  LogMain("clearComparam_var");
  ComparamVarMap.clear();
}

bool LinkComParamSet::setComparamItem(const PDU_PARAM_ITEM& item) {
  auto same = std::find_if(ComparamItems.begin(), ComparamItems.end(),
                           [&](const mdf::ComParamItem& kept) { return kept.item().ComParamId == item.ComParamId; });
  if (same != ComparamItems.end()) ComparamItems.erase(same);  // later items move up, order kept
  ComparamItems.emplace_back(item);

  // Feed the variable map, so that UPDATEPARAM sees what the application set.
  if (item.ComParamDataType != PDU_PT_STRUCTFIELD) {
    std::string name = ComParamShortName(item.ComParamId);
    if (!name.empty()) ComparamVarMap[name] = ComparamItems.back().AsU32();
  }
  return true;
}

const mdf::ComParamItem* LinkComParamSet::findComparamItem(uint32_t comParamId) const {
  for (const auto& kept : ComparamItems) {
    if (kept.item().ComParamId == comParamId) return &kept;
  }
  return nullptr;
}

uint32_t LinkComParamSet::getComparamValue(const char* shortName, uint32_t* value, bool* found) const {
  if (found != nullptr) *found = false;
  if (shortName == nullptr) return kNoVciCode;
  for (const auto& kept : ComparamItems) {
    if (kept.item().ComParamDataType == PDU_PT_STRUCTFIELD) continue;
    if (ComParamShortName(kept.item().ComParamId) != shortName) continue;
    uint32_t v = kept.AsU32();
    if (value != nullptr) *value = v;
    if (found != nullptr) *found = true;
    LogMain("szShortName = %s value = %u", shortName, v);
  }
  return ComParamVciCode(shortName);
}

bool LinkComParamSet::setUniqueRespData(const PDU_UNIQUE_RESP_ID_TABLE_ITEM& table) {
  UniqueRespData.reset(mdf::CloneUniqueRespIdTable(&table));
  return true;
}

bool LinkComParamSet::setRscData(const PDU_RSC_DATA* rsc) {
  if (rsc == nullptr) return false;
  BusTypeId = rsc->BusTypeId;
  ProtocolId = rsc->ProtocolId;
  LogMain("protocolId = %d", static_cast<int>(ProtocolId));
  if (DLCPinData) {
    LogMain("rsc error data");  // a replaced copy, not a failure
    DLCPinData.reset();
  }
  NumPinData = rsc->pDLCPinData != nullptr ? rsc->NumPinData : 0;
  if (NumPinData != 0) {
    DLCPinData.reset(new PDU_PIN_DATA[NumPinData]);
    std::copy(rsc->pDLCPinData, rsc->pDLCPinData + NumPinData, DLCPinData.get());
  }
  return true;
}

bool LinkComParamSet::getRscData(PDU_RSC_DATA* out) const {
  if (out == nullptr) return false;
  out->BusTypeId = BusTypeId;
  out->ProtocolId = ProtocolId;
  out->NumPinData = NumPinData;
  if (out->pDLCPinData != nullptr) {
    LogMain("rsc error data");
    delete[] out->pDLCPinData;
    out->pDLCPinData = nullptr;
  }
  if (NumPinData != 0) {
    out->pDLCPinData = new PDU_PIN_DATA[NumPinData];
    std::copy(DLCPinData.get(), DLCPinData.get() + NumPinData, out->pDLCPinData);
  }
  LogMain("in_rsc_data->pDLCPinData = %d", static_cast<int>(reinterpret_cast<uintptr_t>(out->pDLCPinData)));
  return false;
}

bool LinkComParamSet::setCllCreateFlag(const PDU_FLAG_DATA* flags) {
  if (FlagData) {
    LogMain("flag error data");
    FlagData.reset();
  }
  NumFlagBytes = 0;
  if (flags != nullptr && flags->pFlagData != nullptr && flags->NumFlagBytes != 0) {
    NumFlagBytes = flags->NumFlagBytes;
    FlagData.reset(new uint8_t[NumFlagBytes]);
    std::memcpy(FlagData.get(), flags->pFlagData, NumFlagBytes);
  }
  return true;
}

bool LinkComParamSet::getCllCreateFlag(PDU_FLAG_DATA* out) {
  if (out == nullptr) return false;
  out->NumFlagBytes = NumFlagBytes;
  if (out->pFlagData != nullptr && out->pFlagData != FlagData.get()) {
    LogMain("FALG error data");
    delete[] out->pFlagData;
  }
  out->pFlagData = FlagData.get();
  return true;
}

void ReleaseRscPins(PDU_RSC_DATA* rsc) {
  if (rsc == nullptr) return;
  delete[] rsc->pDLCPinData;
  rsc->pDLCPinData = nullptr;
  rsc->NumPinData = 0;
}

}  // namespace pdu::protocol
