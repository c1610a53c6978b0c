#include "api/StatusName.h"

namespace pdu::api {
namespace {

struct StatusRow {
  uint32_t value;
  const char* name;
};

// The names are the log's own spelling; applications and support staff grep
// for them, so they stay exactly as they are (typos included).
constexpr StatusRow kStatusNames[] = {
    {0x00, "<PDU_STATUS_NOERROR>"},
    {0x01, "<PDU_ERR_FCT_FAILED>"},
    {0x10, "<PDU_ERR_RESERVED_1>"},
    {0x11, "<PDU_ERR_COMM_PC_TO_VCI_FAILED>"},
    {0x20, "<PDU_ERR_PDUAPI_NOT_CONSTRUCTED>"},
    {0x21, "<PDU_ERR_SHARING_VIOLATION>"},
    {0x30, "<PDU_ERR_RESOURCE_BUSY>"},
    {0x31, "<PDU_ERR_RESOURCE_TABLE_CHANGED>"},
    {0x32, "<PDU_ERR_RESOURCE_ERROR>"},
    {0x40, "<PDU_ERR_CLL_NOT_CONNECTED>"},
    {0x41, "<PDU_ERR_CLL_NOT_STARTED>"},
    {0x50, "<PDU_ERR_INVALID_PARAMETERS>"},
    {0x60, "<PDU_ERR_INVALID_HANDLE>"},
    {0x61, "<PDU_ERR_INVALID_NOT_SUPPORTED>"},
    {0x62, "<PDU_ERR_ID_NOT_SUPPORTED>"},
    {0x63, "<PDU_ERR_COMPARAM_NOT_SUPPORTED>"},
    {0x64, "<PDU_ERR_COMPARAM_LOCKED>"},
    {0x70, "<PDU_ERR_TX_QUEUE_FULL>"},
    {0x71, "<PDU_ERR_EVENT_QUEUE_EMPTY>"},
    {0x80, "<PDU_ERR_VOLTAGE_NOT_SUPPORTED>"},
    {0x81, "<PDU_ERR_MUX_RSC_NOT_SUPPORTED>"},
    {0x82, "<PDU_ERR_CABLE_UNKNOWN>"},
    {0x83, "<PDU_ERR_NO_CABLE_DETECTED>"},
    {0x84, "<PDU_ERR_CLL_CONNECTED>"},
    {0x90, "<PDU_ERR_TEMPPARAM_NOT_ALLOWED>"},
    {0xA0, "<PDU_ERR_RSC_LOCKED>"},
    {0xA1, "<PDU_ERR_RSC_LOCKED_BY_OTHER_CLL>"},
    {0xA2, "<PDU_ERR_RSC_NOT_LOCKED>"},
    {0xA3, "<PDU_ERR_MODULE_NOT_CONNECTED>"},
    {0xA4, "<PDU_ERR_API_SW_OUT_OF_DATA>"},
    {0xA5, "<PDU_ERR_MODULE_FW_OUT_OF_DATA>"},
    {0xA6, "<PDU_ERR_PIN_NOT_CONNECTED>"},
    {0xB0, "<PDU_ERR_IP_PROTOCOL_NOT_SUPPORTED>"},
    {0xB1, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_FAILED>"},
    {0xB2, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_AUTHENTICATION_FAIL>"},
    {0xB3, "<PDU_ERR_DOIP_AMBIGUOUS_LOGICAL_ADDRESS>"},
    {0xB4, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_INVALID_SOURCE_ADDRESS>"},
    {0xB5, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_NO_DATA_SOCKET_AVAILABLE>"},
    {0xB6, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_SOURCE_ADDRESS_CHANGED>"},
    {0xB7, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_SOURCE_ADDRESS_IN_USE>"},
    {0xB8, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_CONFIRMATION_REJECTED>"},
    {0xB9, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_TYPE_UNSUPPORTED>"},
    {0xBA, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_RESPONSE_CODE_UNKNOWN>"},
    {0xBB, "<PDU_ERR_DOIP_ROUTING_ACTIVATION_RESPNSE_TIMEOUT>"},
    {0xBC, "<PDU_ERR_DOIP_RESPNSE_TIMEOUT>"},
};

}  // namespace

const char* StatusName(uint32_t status) {
  for (const StatusRow& row : kStatusNames) {
    if (row.value == status) return row.name;
  }
  return "<PDU_ERR_UNKNOW>";
}

}  // namespace pdu::api
