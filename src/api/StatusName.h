#pragma once

#include <cstdint>

namespace pdu::api {

// The log name of a T_PDU_ERROR, e.g. "<PDU_ERR_COMM_PC_TO_VCI_FAILED>";
// "<PDU_ERR_UNKNOW>" for a value that is not a status code.
const char* StatusName(uint32_t status);

}  // namespace pdu::api
