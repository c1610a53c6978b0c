#include "Names.h"

#include <cstdio>

#include "pdu_api.h"

namespace pdutool {

namespace {

struct Named {
  uint32_t value;
  const char* name;
};

template <size_t N>
std::string Lookup(const Named (&table)[N], uint32_t value) {
  for (const Named& n : table) {
    if (n.value == value) return n.name;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%X(unknown)", value);
  return buf;
}

#define N(x) {x, #x}
const Named kStatus[] = {
    N(PDU_STATUS_NOERROR), N(PDU_ERR_FCT_FAILED), N(PDU_ERR_RESERVED_1), N(PDU_ERR_COMM_PC_TO_VCI_FAILED),
    N(PDU_ERR_PDUAPI_NOT_CONSTRUCTED), N(PDU_ERR_SHARING_VIOLATION), N(PDU_ERR_RESOURCE_BUSY),
    N(PDU_ERR_RESOURCE_TABLE_CHANGED), N(PDU_ERR_RESOURCE_ERROR), N(PDU_ERR_CLL_NOT_CONNECTED),
    N(PDU_ERR_CLL_NOT_STARTED), N(PDU_ERR_INVALID_PARAMETERS), N(PDU_ERR_INVALID_HANDLE),
    N(PDU_ERR_VALUE_NOT_SUPPORTED), N(PDU_ERR_ID_NOT_SUPPORTED), N(PDU_ERR_COMPARAM_NOT_SUPPORTED),
    N(PDU_ERR_COMPARAM_LOCKED), N(PDU_ERR_TX_QUEUE_FULL), N(PDU_ERR_EVENT_QUEUE_EMPTY),
    N(PDU_ERR_VOLTAGE_NOT_SUPPORTED), N(PDU_ERR_MUX_RSC_NOT_SUPPORTED), N(PDU_ERR_CABLE_UNKNOWN),
    N(PDU_ERR_NO_CABLE_DETECTED), N(PDU_ERR_CLL_CONNECTED), N(PDU_ERR_TEMPPARAM_NOT_ALLOWED),
    N(PDU_ERR_RSC_LOCKED), N(PDU_ERR_RSC_LOCKED_BY_OTHER_CLL), N(PDU_ERR_RSC_NOT_LOCKED),
    N(PDU_ERR_MODULE_NOT_CONNECTED), N(PDU_ERR_API_SW_OUT_OF_DATE), N(PDU_ERR_MODULE_FW_OUT_OF_DATE),
    N(PDU_ERR_PIN_NOT_CONNECTED), N(PDU_ERR_IP_PROTOCOL_NOT_SUPPORTED),
};
const Named kStatusValues[] = {
    N(PDU_COPST_IDLE), N(PDU_COPST_EXECUTING), N(PDU_COPST_FINISHED), N(PDU_COPST_CANCELLED),
    N(PDU_COPST_WAITING), N(PDU_CLLST_OFFLINE), N(PDU_CLLST_ONLINE), N(PDU_CLLST_COMM_STARTED),
    N(PDU_MODST_READY), N(PDU_MODST_NOT_READY), N(PDU_MODST_NOT_AVAIL), N(PDU_MODST_AVAIL),
};
const Named kItemTypes[] = {
    N(PDU_IT_IO_UNUM32), N(PDU_IT_IO_PROG_VOLTAGE), N(PDU_IT_IO_BYTEARRAY), N(PDU_IT_IO_FILTER),
    N(PDU_IT_IO_EVENT_QUEUE_PROPERTY), N(PDU_IT_RSC_STATUS), N(PDU_IT_PARAM), N(PDU_IT_RESULT),
    N(PDU_IT_STATUS), N(PDU_IT_ERROR), N(PDU_IT_INFO), N(PDU_IT_RSC_ID), N(PDU_IT_MODULE_ID),
    N(PDU_IT_UNIQUE_RESP_ID_TABLE),
};
const Named kCopTypes[] = {
    N(PDU_COPT_STARTCOMM), N(PDU_COPT_STOPCOMM), N(PDU_COPT_UPDATEPARAM),
    N(PDU_COPT_SENDRECV), N(PDU_COPT_DELAY), N(PDU_COPT_RESTORE_PARAM),
};
const Named kErrorEvents[] = {
    N(PDU_ERR_EVT_NOERROR), N(PDU_ERR_EVT_FRAME_STRUCT), N(PDU_ERR_EVT_TX_ERROR),
    N(PDU_ERR_EVT_TESTER_PRESENT_ERROR), N(PDU_ERR_EVT_RX_TIMEOUT), N(PDU_ERR_EVT_RX_ERROR),
    N(PDU_ERR_EVT_PROT_ERR), N(PDU_ERR_EVT_LOST_COMM_TO_VCI), N(PDU_ERR_EVT_VCI_HARDWARE_FAULT),
    N(PDU_ERR_EVT_INIT_ERROR), N(PDU_ERR_EVT_RSC_LOCKED),
};
#undef N

const Named kNrc[] = {
    {0x10, "generalReject"},
    {0x11, "serviceNotSupported"},
    {0x12, "subFunctionNotSupported"},
    {0x13, "incorrectMessageLengthOrInvalidFormat"},
    {0x14, "responseTooLong"},
    {0x21, "busyRepeatRequest"},
    {0x22, "conditionsNotCorrect"},
    {0x24, "requestSequenceError"},
    {0x31, "requestOutOfRange"},
    {0x33, "securityAccessDenied"},
    {0x35, "invalidKey"},
    {0x36, "exceededNumberOfAttempts"},
    {0x37, "requiredTimeDelayNotExpired"},
    {0x70, "uploadDownloadNotAccepted"},
    {0x72, "generalProgrammingFailure"},
    {0x78, "requestCorrectlyReceived-ResponsePending"},
    {0x7E, "subFunctionNotSupportedInActiveSession"},
    {0x7F, "serviceNotSupportedInActiveSession"},
};

}  // namespace

std::string StatusName(uint32_t status) { return Lookup(kStatus, status); }
std::string StatusValueName(uint32_t value) { return Lookup(kStatusValues, value); }
std::string ItemTypeName(uint32_t itemType) { return Lookup(kItemTypes, itemType); }
std::string CopTypeName(uint32_t copType) { return Lookup(kCopTypes, copType); }
std::string ErrorEventName(uint32_t code) { return Lookup(kErrorEvents, code); }
std::string NegativeResponseName(uint8_t nrc) { return Lookup(kNrc, nrc); }

}  // namespace pdutool
