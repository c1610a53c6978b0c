#include "mdf/ComParamValue.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "log/PduLog.h"

namespace pdu::mdf {
namespace {

// Token lists hold at most this many numbers, the two lengths included.
constexpr size_t kMaxTokens = 200;

// Splits text at every blank (0x20 only; runs of blanks and blanks at either
// end give no token) and reads each piece with strtol in the given base. A
// piece that does not start with a number reads as 0.
std::vector<uint32_t> ParseTokens(const char* text, int base) {
  std::vector<uint32_t> out;
  if (text == nullptr) return out;
  const char* p = text;
  while (*p != '\0' && out.size() < kMaxTokens) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    const char* end = std::strchr(p, ' ');
    const size_t len = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
    const std::string piece(p, len);
    const long long value = std::strtoll(piece.c_str(), nullptr, base);
    out.push_back(base == 16 ? static_cast<uint32_t>(value) & 0xFFu : static_cast<uint32_t>(value));
    p += len;
  }
  return out;
}

template <class T>
T* NewNumber(T value) {
  return new T(value);
}

// A byte field with ActLen bytes copied from data (a null source array or a
// null record gives zeros / an empty field).
PDU_PARAM_BYTEFIELD_DATA* NewByteField(uint32_t maxLen, uint32_t actLen, const UNUM8* data) {
  auto* field = new PDU_PARAM_BYTEFIELD_DATA{maxLen, actLen, nullptr};
  if (actLen > 0) {
    try {
      field->pDataArray = new UNUM8[actLen]();
    } catch (...) {
      delete field;
      throw;
    }
    if (data != nullptr) std::memcpy(field->pDataArray, data, actLen);
  }
  return field;
}

PDU_PARAM_LONGFIELD_DATA* NewLongField(uint32_t maxLen, uint32_t actLen, const UNUM32* data) {
  auto* field = new PDU_PARAM_LONGFIELD_DATA{maxLen, actLen, nullptr};
  if (actLen > 0) {
    try {
      field->pDataArray = new UNUM32[actLen]();
    } catch (...) {
      delete field;
      throw;
    }
    if (data != nullptr) std::memcpy(field->pDataArray, data, sizeof(UNUM32) * actLen);
  }
  return field;
}

}  // namespace

void* CloneComParamValue(const void* value, uint32_t dataType) {
  switch (dataType) {
    case PDU_PT_UNUM8:
    case PDU_PT_SNUM8:
      return NewNumber<uint8_t>(value != nullptr ? *static_cast<const uint8_t*>(value) : 0);
    case PDU_PT_UNUM16:
    case PDU_PT_SNUM16: {
      uint16_t v = 0;
      if (value != nullptr) std::memcpy(&v, value, sizeof v);
      return NewNumber<uint16_t>(v);
    }
    case PDU_PT_UNUM32:
    case PDU_PT_SNUM32: {
      uint32_t v = 0;
      if (value != nullptr) std::memcpy(&v, value, sizeof v);
      return NewNumber<uint32_t>(v);
    }
    case PDU_PT_BYTEFIELD: {
      if (value == nullptr) return NewByteField(0, 0, nullptr);
      const auto* src = static_cast<const PDU_PARAM_BYTEFIELD_DATA*>(value);
      return NewByteField(src->ParamMaxLen, src->pDataArray != nullptr ? src->ParamActLen : 0,
                          src->pDataArray);
    }
    case PDU_PT_LONGFIELD: {
      if (value == nullptr) return NewLongField(0, 0, nullptr);
      const auto* src = static_cast<const PDU_PARAM_LONGFIELD_DATA*>(value);
      return NewLongField(src->ParamMaxLen, src->pDataArray != nullptr ? src->ParamActLen : 0,
                          src->pDataArray);
    }
    case PDU_PT_STRUCTFIELD:
      return nullptr;
    default:
      // Unknown types carry no readable value; the source is not touched.
      return NewNumber<uint32_t>(0);
  }
}

void FreeComParamValue(void* value, uint32_t dataType) {
  if (value == nullptr) return;
  switch (dataType) {
    case PDU_PT_UNUM8:
    case PDU_PT_SNUM8:
      delete static_cast<uint8_t*>(value);
      break;
    case PDU_PT_UNUM16:
    case PDU_PT_SNUM16:
      delete static_cast<uint16_t*>(value);
      break;
    case PDU_PT_BYTEFIELD: {
      auto* field = static_cast<PDU_PARAM_BYTEFIELD_DATA*>(value);
      delete[] field->pDataArray;
      delete field;
      break;
    }
    case PDU_PT_LONGFIELD: {
      auto* field = static_cast<PDU_PARAM_LONGFIELD_DATA*>(value);
      delete[] field->pDataArray;
      delete field;
      break;
    }
    case PDU_PT_STRUCTFIELD:
      // Values of this type are never allocated here; nothing to release.
      break;
    default:
      // UNUM32, SNUM32 and the 4-byte 0 of unknown types.
      delete static_cast<uint32_t*>(value);
      break;
  }
}

std::vector<uint32_t> ParseHexByteList(const char* text) { return ParseTokens(text, 16); }

std::vector<uint32_t> ParseDecimalList(const char* text) { return ParseTokens(text, 10); }

void* ConvertDefaultValue(const char* text, uint32_t dataType) {
  const char* safe = text != nullptr ? text : "";
  switch (dataType) {
    case PDU_PT_UNUM8:
    case PDU_PT_SNUM8:
      return NewNumber<uint8_t>(static_cast<uint8_t>(ReadDecimal(safe)));
    case PDU_PT_UNUM16:
    case PDU_PT_SNUM16:
      return NewNumber<uint16_t>(static_cast<uint16_t>(ReadDecimal(safe)));
    case PDU_PT_UNUM32:
    case PDU_PT_SNUM32:
      return NewNumber<uint32_t>(ReadDecimal(safe));
    case PDU_PT_BYTEFIELD: {
      // "MaxLen ActLen data..." in hex, e.g. "0C 02 3E 00". A data count that
      // does not match ActLen is logged and tolerated: the field keeps the
      // declared lengths, missing bytes are 0, surplus bytes are dropped.
      const std::vector<uint32_t> tokens = ParseHexByteList(safe);
      const uint32_t maxLen = tokens.size() > 0 ? tokens[0] : 0;
      const uint32_t actLen = tokens.size() > 1 ? tokens[1] : 0;
      const long long given = static_cast<long long>(tokens.size()) - 2;
      if (given != actLen) log::LogMain("error1: data format is wrong");
      auto* field = NewByteField(maxLen, actLen, nullptr);
      const size_t copy = given > 0 ? std::min<size_t>(static_cast<size_t>(given), actLen) : 0;
      for (size_t i = 0; i < copy; ++i) field->pDataArray[i] = static_cast<UNUM8>(tokens[2 + i]);
      return field;
    }
    case PDU_PT_STRUCTFIELD:
      log::LogMain("STRUCTFIELD:%s", safe);
      return nullptr;
    case PDU_PT_LONGFIELD: {
      // "MaxLen ActLen values..." in decimal. Unlike byte fields a count
      // mismatch is not tolerated: the ComParam is kept with an empty field
      // so that the link still carries it, but no half-read values.
      log::LogMain("LONGFIELD:%s", safe);
      const std::vector<uint32_t> tokens = ParseDecimalList(safe);
      const uint32_t maxLen = tokens.size() > 0 ? tokens[0] : 0;
      const uint32_t actLen = tokens.size() > 1 ? tokens[1] : 0;
      const long long given = static_cast<long long>(tokens.size()) - 2;
      if (given != actLen) {
        log::LogMain("error2: data format is wrong");
        return NewLongField(0, 0, nullptr);
      }
      return NewLongField(maxLen, actLen, tokens.data() + 2);
    }
    default:
      return nullptr;
  }
}

uint32_t ComParamValueAsU32(const void* value, uint32_t dataType) {
  if (value == nullptr) return 0;
  switch (dataType) {
    case PDU_PT_UNUM8:
      return *static_cast<const uint8_t*>(value);
    case PDU_PT_SNUM8:
      return static_cast<uint32_t>(static_cast<int32_t>(*static_cast<const int8_t*>(value)));
    case PDU_PT_UNUM16: {
      uint16_t v;
      std::memcpy(&v, value, sizeof v);
      return v;
    }
    case PDU_PT_SNUM16: {
      int16_t v;
      std::memcpy(&v, value, sizeof v);
      return static_cast<uint32_t>(static_cast<int32_t>(v));
    }
    case PDU_PT_UNUM32:
    case PDU_PT_SNUM32:
    case PDU_PT_BYTEFIELD:   // the first word of the record: MaxLen
    case PDU_PT_LONGFIELD: {
      uint32_t v;
      std::memcpy(&v, value, sizeof v);
      return v;
    }
    default:
      // STRUCTFIELD has no value; values of unknown types are always the
      // 4-byte 0 made by CloneComParamValue, and a caller's own value of an
      // unknown type may be shorter than 4 bytes.
      return 0;
  }
}

PDU_UNIQUE_RESP_ID_TABLE_ITEM* CloneUniqueRespIdTable(const PDU_UNIQUE_RESP_ID_TABLE_ITEM* table) {
  if (table == nullptr) return nullptr;
  // Counts are set before the arrays are filled and every array starts
  // zeroed, so FreeUniqueRespIdTable can release a half-built copy when an
  // allocation throws.
  auto* copy = new PDU_UNIQUE_RESP_ID_TABLE_ITEM{table->ItemType, 0, nullptr};
  try {
    const uint32_t numEntries = table->pUniqueData != nullptr ? table->NumEntries : 0;
    if (numEntries > 0) {
      copy->pUniqueData = new PDU_ECU_UNIQUE_RESP_DATA[numEntries]();
      copy->NumEntries = numEntries;
    }
    for (uint32_t e = 0; e < numEntries; ++e) {
      const PDU_ECU_UNIQUE_RESP_DATA& src = table->pUniqueData[e];
      PDU_ECU_UNIQUE_RESP_DATA& dst = copy->pUniqueData[e];
      dst.UniqueRespIdentifier = src.UniqueRespIdentifier;
      const uint32_t numItems = src.pParams != nullptr ? src.NumParamItems : 0;
      if (numItems == 0) continue;
      dst.pParams = new PDU_PARAM_ITEM[numItems]();
      dst.NumParamItems = numItems;
      for (uint32_t i = 0; i < numItems; ++i) {
        const PDU_PARAM_ITEM& s = src.pParams[i];
        PDU_PARAM_ITEM& d = dst.pParams[i];
        d.ItemType = s.ItemType;
        d.ComParamId = s.ComParamId;
        d.ComParamDataType = s.ComParamDataType;
        d.ComParamClass = s.ComParamClass;
        d.pComParamData = CloneComParamValue(s.pComParamData, s.ComParamDataType);
      }
    }
  } catch (...) {
    FreeUniqueRespIdTable(copy);
    throw;
  }
  return copy;
}

void FreeUniqueRespIdTable(PDU_UNIQUE_RESP_ID_TABLE_ITEM* table) {
  if (table == nullptr) return;
  if (table->pUniqueData != nullptr) {
    for (uint32_t e = 0; e < table->NumEntries; ++e) {
      PDU_ECU_UNIQUE_RESP_DATA& entry = table->pUniqueData[e];
      if (entry.pParams == nullptr) continue;
      for (uint32_t i = 0; i < entry.NumParamItems; ++i) {
        FreeComParamValue(entry.pParams[i].pComParamData, entry.pParams[i].ComParamDataType);
      }
      delete[] entry.pParams;
    }
    delete[] table->pUniqueData;
  }
  delete table;
}

// ---- ComParamItem ---------------------------------------------------------

ComParamItem::ComParamItem(const PDU_PARAM_ITEM& item)
    : item_{item.ItemType, item.ComParamId, item.ComParamDataType, item.ComParamClass,
            CloneComParamValue(item.pComParamData, item.ComParamDataType)} {}

ComParamItem::~ComParamItem() { FreeComParamValue(item_.pComParamData, item_.ComParamDataType); }

ComParamItem::ComParamItem(ComParamItem&& other) noexcept : item_(other.item_) {
  other.item_.pComParamData = nullptr;
}

ComParamItem& ComParamItem::operator=(ComParamItem&& other) noexcept {
  if (this != &other) {
    FreeComParamValue(item_.pComParamData, item_.ComParamDataType);
    item_ = other.item_;
    other.item_.pComParamData = nullptr;
  }
  return *this;
}

ComParamItem ComParamItem::Adopt(uint32_t id, uint32_t dataType, uint32_t cpClass, void* value) {
  ComParamItem out;
  out.item_ = PDU_PARAM_ITEM{PDU_IT_PARAM, id, dataType, cpClass, value};
  return out;
}

uint32_t ReadDecimal(const char* text) {
  if (text == nullptr) return 0;
  return static_cast<uint32_t>(std::strtoll(text, nullptr, 10));
}

}  // namespace pdu::mdf
