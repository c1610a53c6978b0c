// ComParam values in the D-PDU representation: a PDU_PARAM_ITEM whose
// pComParamData points to a value laid out by the item's data type.
//
//   UNUM8/SNUM8    1 byte
//   UNUM16/SNUM16  2 bytes, host order
//   UNUM32/SNUM32  4 bytes, host order
//   BYTEFIELD      PDU_PARAM_BYTEFIELD_DATA {MaxLen, ActLen, ActLen bytes}
//   STRUCTFIELD    no value (null)
//   LONGFIELD      PDU_PARAM_LONGFIELD_DATA {MaxLen, ActLen, ActLen u32}
//   anything else  4 bytes holding 0
//
// Every value a holder keeps and every value handed to the application is a
// fresh deep copy made here; FreeComParamValue / FreeUniqueRespIdTable are
// the only way such values are released (PDUDestroyItem uses them too).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pdu_api.h"

namespace pdu::mdf {

// Reads text like atoi does (leading blanks, a sign, decimal digits, stops
// at the first other character) but without atoi's undefined overflow: the
// result wraps to 32 bits, which is all any caller keeps. Null reads as 0.
uint32_t ReadDecimal(const char* text);

// A new, independent copy of value (nullptr for STRUCTFIELD; a new 4-byte 0
// for an unknown data type, without reading value).
void* CloneComParamValue(const void* value, uint32_t dataType);
void FreeComParamValue(void* value, uint32_t dataType);

// The default text of the module description as a value; nullptr when the
// type has no value (STRUCTFIELD, unknown types). A long field whose token
// count does not match its ActLen gives an empty long field (MaxLen 0,
// ActLen 0, no array) after "error2: data format is wrong" in the log.
void* ConvertDefaultValue(const char* text, uint32_t dataType);

// The value as one number, read in its own width (1, 2 or 4 bytes; the
// MaxLen of a byte or long field). Signed 8/16-bit values are sign-extended.
uint32_t ComParamValueAsU32(const void* value, uint32_t dataType);

// Token lists of default texts: blank-separated, at most 200 tokens.
std::vector<uint32_t> ParseHexByteList(const char* text);
std::vector<uint32_t> ParseDecimalList(const char* text);

// Deep copy of a unique response identifier table (entries, their items,
// their values); nullptr in, nullptr out.
PDU_UNIQUE_RESP_ID_TABLE_ITEM* CloneUniqueRespIdTable(const PDU_UNIQUE_RESP_ID_TABLE_ITEM* table);
void FreeUniqueRespIdTable(PDU_UNIQUE_RESP_ID_TABLE_ITEM* table);

// A ComParam item with its value deep-copied on construction and released
// on destruction. Move-only; Clone() makes an independent copy.
class ComParamItem {
 public:
  ComParamItem() = default;
  // Copies item's fixed fields and clones its value.
  explicit ComParamItem(const PDU_PARAM_ITEM& item);
  ~ComParamItem();
  ComParamItem(ComParamItem&& other) noexcept;
  ComParamItem& operator=(ComParamItem&& other) noexcept;
  ComParamItem(const ComParamItem&) = delete;
  ComParamItem& operator=(const ComParamItem&) = delete;

  ComParamItem Clone() const { return ComParamItem(item_); }
  const PDU_PARAM_ITEM& item() const { return item_; }
  uint32_t AsU32() const { return ComParamValueAsU32(item_.pComParamData, item_.ComParamDataType); }

  // Takes ownership of a value made by this file's functions.
  static ComParamItem Adopt(uint32_t id, uint32_t dataType, uint32_t cpClass, void* value);

 private:
  PDU_PARAM_ITEM item_{PDU_IT_PARAM, 0, 0, 0, nullptr};
};

}  // namespace pdu::mdf
