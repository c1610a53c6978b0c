// The selection table: protocol short name -> handler class.

#include <typeindex>
#include <typeinfo>

#include "HandlerTestSupport.h"
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

namespace pdu::protocol::test {
namespace {

struct Row { const char* protocol; std::type_index cls; };

// One protocol per class, and every protocol whose class its name does not
// tell (a J1850 VPW protocol on the PWM class, DoIP on the ISO 14230 class,
// KW1281 over K-Line on the ISO 9141 class).
const Row kTable[] = {
    {"ISO_OBD_on_K_Line", typeid(ZPDUISO14230ProtocolHandling)},
    {"MSP_VW2000LP_on_ISO_14230_2", typeid(ZPDUISO14230ProtocolHandling)},
    {"ISO_14229_5_on_ISO_13400_2", typeid(ZPDUISO14230ProtocolHandling)},
    {"ISO_14230_3_on_ISO_15765_2", typeid(ZPDUISO15765ProtocolHandling)},
    {"SAE_J2190_on_ISO_9141", typeid(ZPDUISO9141ProtocolHandling)},
    {"MSP_KW1281_on_ISO_9141_2", typeid(ZPDUISO9141ProtocolHandling)},
    {"SAE_J2190_on_SAE_J1850_VPW", typeid(ZPDUJ1850VPWProtocolHandling)},
    {"ISO_15031_5_on_SAE_J1850_VPW", typeid(ZPDUJ1850PWMProtocolHandling)},
    {"ISO_OBD_on_SAE_J1850", typeid(ZPDUJ1850PWMProtocolHandling)},
    {"SAE_J1939_73_on_SAE_J1939_21", typeid(ZPDUJ1939ProtocolHandling)},
    {"SAE_J1587_on_SAE_J1708", typeid(ZPDUJ1708ProtocolHandling)},
    {"SAE_J2610_on_SAE_J2610_SCI", typeid(ZPDUJ2610_SCIProtocolHandling)},
    {"KW82_on_KW_UART", typeid(ZPDUKWProtocolHandling)}, {"KW71_on_KW_UART", typeid(ZPDUKW71_On_UartProtocolHandling)},
    {"ISO_11898_RAW", typeid(ZPDUISO11898RawProtocolHandling)},
    {"MSP_VW2000LP_on_TP20", typeid(ZPDUTP20ProtocolHandling)},
    {"MSP_KW1281_on_TP16", typeid(ZPDUTP16_KW1281ProtocolHandling)},
    {"MSP_VW2000LP_on_TP16", typeid(ZPDUTP16_KW2000ProtocolHandling)},
};

TEST(CreateProtocolHandler, ProtocolsSelectTheirClass) {
  for (const Row& r : kTable) {
    auto h = CreateProtocolHandler(r.protocol);
    ASSERT_NE(h, nullptr) << r.protocol;
    const auto& handler = *h;
    EXPECT_EQ(std::type_index(typeid(handler)), r.cls) << r.protocol;
    EXPECT_EQ(h->isTP20(), r.cls == typeid(ZPDUTP20ProtocolHandling)) << r.protocol;
    EXPECT_EQ(h->CllStatus, 0u) << r.protocol;
  }
}

TEST(CreateProtocolHandler, NamesMustMatchExactly) {
  for (const char* name : {"iso_obd_on_k_line", "ISO_OBD_on_K_Line ", "ISO_OBD_on_K", "", "UNKNOWN_PROTOCOL",
                           "ISO_14229_3_on_ISO_15765_2", "SAE_J2190_on_SAE_J1850"}) {
    EXPECT_EQ(CreateProtocolHandler(name), nullptr) << '"' << name << '"';
  }
  EXPECT_EQ(CreateProtocolHandler(nullptr), nullptr);
}

// initUniqueRespComparam has run when the handler comes back.
TEST(CreateProtocolHandler, UniqueResponseComParamsPerClass) {
  using Map = std::map<uint32_t, std::string>;
  const Map tp = {{157, "CPM_VWTP_PhysIdFormat"}, {159, "CPM_VWTP_PhysReqIdSetup"}, {160, "CPM_VWTP_PhysRespIdSetup"},
                  {161, "CPM_VWTP_PhysReqIdCon"}, {162, "CPM_VWTP_PhysRespIdCon"},  {186, "CPM_VWTP_ComfortDiag"}};
  Map kw2000 = tp;
  kw2000[70] = "CP_EcuRespSourceAddress";
  kw2000[101] = "CP_PhysRespFormatPriorityType";
  const std::pair<const char*, Map> rows[] = {
      {"ISO_15765_3_on_ISO_15765_2",
       {{59, "CP_CanPhysReqExtAddr"},
        {60, "CP_CanPhysReqFormat"}, {61, "CP_CanPhysReqId"}, {62, "CP_CanRespUSDTExtAddr"},
        {63, "CP_CanRespUSDTFormat"}, {64, "CP_CanRespUSDTId"}, {65, "CP_CanRespUUDTExtAddr"},
        {66, "CP_CanRespUUDTFormat"},
        {67, "CP_CanRespUUDTId"}}},
      {"ISO_14230_3_on_ISO_14230_2",
       {{70, "CP_EcuRespSourceAddress"},
        {78, "CP_FuncRespFormatPriorityType"},
        {79, "CP_FuncRespTargetAddr"},
        {101, "CP_PhysRespFormatPriorityType"}}},
      {"MSP_VW2000LP_on_TP20", tp}, {"MSP_KW1281_on_TP16", tp}, {"MSP_VW2000LP_on_TP16", kw2000},
      {"SAE_J2190_on_ISO_9141_2", {}}, {"KW81_on_KW_UART", {}}, {"ISO_11898_RAW", {}},
      {"SAE_J2190_on_SAE_J1850_VPW", {}},
  };
  for (const auto& [protocol, expected] : rows) {
    EXPECT_EQ(CreateProtocolHandler(protocol)->uniqueRespComparamMap(), expected) << protocol;
  }
}

}  // namespace
}  // namespace pdu::protocol::test
