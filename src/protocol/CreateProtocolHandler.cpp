#include "protocol/CreateProtocolHandler.h"

#include <cstring>
#include <new>

#include "log/PduLog.h"
#include "protocol/ZPDUISO11898RawProtocolHandling.h"
#include "protocol/ZPDUISO14230ProtocolHandling.h"
#include "protocol/ZPDUISO15765ProtocolHandling.h"
#include "protocol/ZPDUISO9141ProtocolHandling.h"
#include "protocol/ZPDUJ1708ProtocolHandling.h"
#include "protocol/ZPDUJ1850PWMProtocolHandling.h"
#include "protocol/ZPDUJ1850VPWProtocolHandling.h"
#include "protocol/ZPDUJ1939ProtocolHandling.h"
#include "protocol/ZPDUJ2610_SCIProtocolHandling.h"
#include "protocol/ZPDUKW71_On_UartProtocolHandling.h"
#include "protocol/ZPDUKWProtocolHandling.h"
#include "protocol/ZPDUTP16_KW1281ProtocolHandling.h"
#include "protocol/ZPDUTP16_KW2000ProtocolHandling.h"
#include "protocol/ZPDUTP20ProtocolHandling.h"

namespace pdu::protocol {

namespace {

using Factory = ZPDUProtocolHandling* (*)();

template <class Handler>
ZPDUProtocolHandling* Make() {
  return new Handler();
}

ZPDUProtocolHandling* MakeIso15765() {
  log::LogMain("create 15765");
  return new ZPDUISO15765ProtocolHandling();
}

struct Selection {
  const char* protocol;
  Factory make;
};

// Protocol short name -> handler class. Note the two VPW rows that select
// the PWM class: the VCI tells PWM and VPW apart by the bus type, so both
// classes behave the same. DoIP (ISO 13400) is served like ISO 14230: the
// VCI carries whole UDS messages and the handler passes them through.
constexpr Selection kSelectionTable[] = {
    {"ISO_14230_3_on_ISO_14230_2", Make<ZPDUISO14230ProtocolHandling>},
    {"SAE_J2190_on_ISO_14230_2", Make<ZPDUISO14230ProtocolHandling>},
    {"ISO_15031_5_on_ISO_14230_4", Make<ZPDUISO14230ProtocolHandling>},
    {"ISO_OBD_on_K_Line", Make<ZPDUISO14230ProtocolHandling>},
    {"MSP_VW2000LP_on_ISO_14230_2", Make<ZPDUISO14230ProtocolHandling>},
    {"ISO_14230_3_on_ISO_15765_2", MakeIso15765},
    {"ISO_15765_3_on_ISO_15765_2", MakeIso15765},
    {"SAE_J2190_on_ISO_15765_2", MakeIso15765},
    {"ISO_15031_5_on_ISO_15765_4", MakeIso15765},
    {"ISO_OBD_on_ISO_15765_4", MakeIso15765},
    {"SAE_J2190_on_ISO_9141", Make<ZPDUISO9141ProtocolHandling>},
    {"SAE_J2190_on_ISO_9141_2", Make<ZPDUISO9141ProtocolHandling>},
    {"ISO_15031_5_on_ISO_9141_2", Make<ZPDUISO9141ProtocolHandling>},
    {"MSP_KW1281_on_ISO_9141_2", Make<ZPDUISO9141ProtocolHandling>},
    {"SAE_J2190_on_SAE_J1850_VPW", Make<ZPDUJ1850VPWProtocolHandling>},
    {"ISO_15031_5_on_SAE_J1850_VPW", Make<ZPDUJ1850PWMProtocolHandling>},
    {"ISO_OBD_on_SAE_J1850", Make<ZPDUJ1850PWMProtocolHandling>},
    {"SAE_J2190_on_SAE_J1850_PWM", Make<ZPDUJ1850PWMProtocolHandling>},
    {"SAE_J1939_73_on_SAE_J1939_21", Make<ZPDUJ1939ProtocolHandling>},
    {"SAE_J1587_on_SAE_J1708", Make<ZPDUJ1708ProtocolHandling>},
    {"SAE_J2610_on_SAE_J2610_SCI", Make<ZPDUJ2610_SCIProtocolHandling>},
    {"KW82_on_KW_UART", Make<ZPDUKWProtocolHandling>},
    {"KW81_on_KW_UART", Make<ZPDUKWProtocolHandling>},
    {"KW71_on_KW_UART", Make<ZPDUKW71_On_UartProtocolHandling>},
    {"ISO_11898_RAW", Make<ZPDUISO11898RawProtocolHandling>},
    {"MSP_VW2000LP_on_TP20", Make<ZPDUTP20ProtocolHandling>},
    {"MSP_KW1281_on_TP16", Make<ZPDUTP16_KW1281ProtocolHandling>},
    {"MSP_VW2000LP_on_TP16", Make<ZPDUTP16_KW2000ProtocolHandling>},
    {"ISO_14229_5_on_ISO_13400_2", Make<ZPDUISO14230ProtocolHandling>},
};

}  // namespace

std::unique_ptr<ZPDUProtocolHandling> CreateProtocolHandler(const char* protocolShortName) {
  if (protocolShortName == nullptr) return nullptr;
  for (const Selection& row : kSelectionTable) {
    if (std::strcmp(row.protocol, protocolShortName) != 0) continue;
    try {
      std::unique_ptr<ZPDUProtocolHandling> handler(row.make());
      handler->initUniqueRespComparam();
      return handler;
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return nullptr;
}

}  // namespace pdu::protocol
