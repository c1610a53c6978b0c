#include "mdf/Enumerations.h"

#include <array>

#include "pdu_api.h"

namespace pdu::mdf {
namespace {

struct Row {
  uint32_t value;
  std::string_view text;  // the MDF text; for data types and item types also the log name
  const char* name;       // the log name
};

constexpr std::array<Row, 6> kObjectTypes{{
    {PDU_OBJT_PROTOCOL, "PROTOCOL", "PDU_OBJT_PROTOCOL"},
    {PDU_OBJT_BUSTYPE, "BUSTYPE", "PDU_OBJT_BUSTYPE"},
    {PDU_OBJT_IO_CTRL, "IO_CTRL", "PDU_OBJT_IO_CTRL"},
    {PDU_OBJT_COMPARAM, "COMPARAM", "PDU_OBJT_COMPARAM"},
    {PDU_OBJT_PINTYPE, "PINTYPE", "PDU_OBJT_PINTYPE"},
    {PDU_OBJT_RESOURCE, "RESOURCE", "PDU_OBJT_RESOURCE"},
}};

constexpr std::array<Row, 7> kClasses{{
    {PDU_PC_TIMING, "TIMING", "PDU_PC_TIMING"},
    {PDU_PC_INIT, "INIT", "PDU_PC_INIT"},
    {PDU_PC_COM, "COM", "PDU_PC_COM"},
    {PDU_PC_ERRHDL, "ERRHDL", "PDU_PC_ERRHDL"},
    {PDU_PC_BUSTYPE, "BUSTYPE", "PDU_PC_BUSTYPE"},
    {PDU_PC_UNIQUE_ID, "UNIQUE_ID", "PDU_PC_UNIQUE_ID"},
    {PDU_PC_TESTER_PRESENT, "TESTER_PRESENT", "PDU_PC_TESTER_PRESENT"},
}};

constexpr std::array<Row, 9> kDataTypes{{
    {PDU_PT_UNUM8, "PDU_PT_UNUM8", "PDU_PT_UNUM8"},
    {PDU_PT_SNUM8, "PDU_PT_SNUM8", "PDU_PT_SNUM8"},
    {PDU_PT_UNUM16, "PDU_PT_UNUM16", "PDU_PT_UNUM16"},
    {PDU_PT_SNUM16, "PDU_PT_SNUM16", "PDU_PT_SNUM16"},
    {PDU_PT_UNUM32, "PDU_PT_UNUM32", "PDU_PT_UNUM32"},
    {PDU_PT_SNUM32, "PDU_PT_SNUM32", "PDU_PT_SNUM32"},
    {PDU_PT_BYTEFIELD, "PDU_PT_BYTEFIELD", "PDU_PT_BYTEFIELD"},
    {PDU_PT_STRUCTFIELD, "PDU_PT_STRUCTFIELD", "PDU_PT_STRUCTFIELD"},
    {PDU_PT_LONGFIELD, "PDU_PT_LONGFIELD", "PDU_PT_LONGFIELD"},
}};

constexpr std::array<Row, 18> kItemTypes{{
    {PDU_IT_IO_UNUM32, "", "PDU_IT_IO_UNUM32"},
    {PDU_IT_IO_PROG_VOLTAGE, "", "PDU_IT_IO_PROG_VOLTAGE"},
    {PDU_IT_IO_BYTEARRAY, "", "PDU_IT_IO_BYTEARRAY"},
    {PDU_IT_IO_FILTER, "", "PDU_IT_IO_FILTER"},
    {PDU_IT_IO_EVENT_QUEUE_PROPERTY, "", "PDU_IT_IO_EVENT_QUEUE_PROPERTY"},
    {PDU_IT_RSC_STATUS, "", "PDU_IT_RSC_STATUS"},
    {PDU_IT_PARAM, "", "PDU_IT_PARAM"},
    {PDU_IT_RESULT, "", "PDU_IT_RESULT"},
    {PDU_IT_STATUS, "", "PDU_IT_STATUS"},
    {PDU_IT_ERROR, "", "PDU_IT_ERROR"},
    {PDU_IT_INFO, "", "PDU_IT_INFO"},
    {PDU_IT_RSC_ID, "", "PDU_IT_RSC_ID"},
    // 0x1500 is this module's module-list item type.
    {PDU_IT_MODULE_ID, "", "PDU_IT_MODULE_ID"},
    {PDU_IT_UNIQUE_RESP_ID_TABLE, "", "PDU_IT_UNIQUE_RESP_ID_TABLE"},
    {PDU_IT_IO_VEHICLE_ID_REQUEST, "", "PDU_IT_IO_VEHICLE_ID_REQUEST"},
    {PDU_IT_IO_ETH_SWITCH_STATE, "", "PDU_IT_ETH_SWITCH_STATE"},
    {PDU_IT_IO_ENTITY_ADDRESS, "", "PDU_IT_IO_ENTITY_ADDRESS"},
    {PDU_IT_IO_ENTITY_STATUS, "", "PDU_IT_IO_ENTITY_STATUS"},
}};

template <size_t N>
uint32_t ValueOf(const std::array<Row, N>& table, std::string_view text, uint32_t def) {
  for (const Row& row : table) {
    if (row.text == text) return row.value;
  }
  return def;
}

template <size_t N>
const char* NameOf(const std::array<Row, N>& table, uint32_t value) {
  for (const Row& row : table) {
    if (row.value == value) return row.name;
  }
  return "UNKNOW";
}

}  // namespace

uint32_t ObjectTypeFromElementName(std::string_view elementName) {
  return ValueOf(kObjectTypes, elementName, PDU_OBJT_COMPARAM);
}

uint32_t ComParamClassFromText(std::string_view text) { return ValueOf(kClasses, text, PDU_PC_TIMING); }

uint32_t ComParamDataTypeFromText(std::string_view text) {
  return ValueOf(kDataTypes, text, PDU_PT_UNUM32);
}

const char* ObjectTypeName(uint32_t objectType) { return NameOf(kObjectTypes, objectType); }
const char* ComParamClassName(uint32_t comParamClass) { return NameOf(kClasses, comParamClass); }
const char* ComParamDataTypeName(uint32_t dataType) { return NameOf(kDataTypes, dataType); }
const char* ItemTypeName(uint32_t itemType) { return NameOf(kItemTypes, itemType); }

}  // namespace pdu::mdf
