// Names of the D-PDU API's numbers for pdutool's output (the values are
// those of ISO 22900-2, the same for every vendor's library).
#pragma once

#include <cstdint>
#include <string>

namespace pdutool {

// "PDU_ERR_COMM_PC_TO_VCI_FAILED"; "0x...(unknown)" for other values.
std::string StatusName(uint32_t status);
// PDU_COPST_*, PDU_CLLST_*, PDU_MODST_*.
std::string StatusValueName(uint32_t value);
std::string ItemTypeName(uint32_t itemType);
std::string CopTypeName(uint32_t copType);
// PDU_ERR_EVT_* of an error item.
std::string ErrorEventName(uint32_t code);
// The text of a negative response code of UDS/KWP2000 ("serviceNotSupported").
std::string NegativeResponseName(uint8_t nrc);

}  // namespace pdutool
