// The D-PDU enumerations as the module description file and the log spell
// them.
//
// Text -> value reads the element names, CLASS and DATA_TYPE texts of
// MDF.xml; a text that matches no row gives the table's default (COMPARAM
// for element names, TIMING for classes, UNUM32 for data types), so an
// unexpected file still loads. Value -> name gives the log text; a value
// outside the table prints as "UNKNOW". Comparisons are exact and
// case-sensitive. Constant tables only: callable from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace pdu::mdf {

// "PROTOCOL" -> PDU_OBJT_PROTOCOL, ... ; anything else -> PDU_OBJT_COMPARAM.
uint32_t ObjectTypeFromElementName(std::string_view elementName);
// "TIMING", "INIT", ... -> PDU_PC_*; anything else -> PDU_PC_TIMING.
uint32_t ComParamClassFromText(std::string_view text);
// "PDU_PT_UNUM8", ... -> PDU_PT_*; anything else -> PDU_PT_UNUM32.
uint32_t ComParamDataTypeFromText(std::string_view text);

// Log names ("PDU_OBJT_PROTOCOL", "PDU_PC_TIMING", "PDU_PT_UNUM8",
// "PDU_IT_PARAM", ...); "UNKNOW" for a value outside the table. The texts
// are static and zero-terminated.
const char* ObjectTypeName(uint32_t objectType);
const char* ComParamClassName(uint32_t comParamClass);
const char* ComParamDataTypeName(uint32_t dataType);
const char* ItemTypeName(uint32_t itemType);

}  // namespace pdu::mdf
