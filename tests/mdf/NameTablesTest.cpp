#include <gtest/gtest.h>

#include "mdf/Enumerations.h"
#include "mdf/VciCodes.h"
#include "pdu_api.h"

namespace pdu::mdf {
namespace {

TEST(Enumerations, TextsMapToValuesWithTheirTableDefaults) {
  struct Row { uint32_t (*convert)(std::string_view); const char* text; uint32_t expected; };
  const Row rows[] = {
      {ObjectTypeFromElementName, "PROTOCOL", PDU_OBJT_PROTOCOL},
      {ObjectTypeFromElementName, "BUSTYPE", PDU_OBJT_BUSTYPE},
      {ObjectTypeFromElementName, "IO_CTRL", PDU_OBJT_IO_CTRL},
      {ObjectTypeFromElementName, "PINTYPE", PDU_OBJT_PINTYPE},
      {ObjectTypeFromElementName, "RESOURCE", PDU_OBJT_RESOURCE},
      {ObjectTypeFromElementName, "PIN_TYPE", PDU_OBJT_COMPARAM},
      {ObjectTypeFromElementName, "protocol", PDU_OBJT_COMPARAM}, {ObjectTypeFromElementName, "", PDU_OBJT_COMPARAM},
      {ComParamClassFromText, "INIT", PDU_PC_INIT}, {ComParamClassFromText, "UNIQUE_ID", PDU_PC_UNIQUE_ID},
      {ComParamClassFromText, "TESTER_PRESENT", PDU_PC_TESTER_PRESENT},
      {ComParamClassFromText, "timing", PDU_PC_TIMING}, {ComParamClassFromText, "", PDU_PC_TIMING},
      {ComParamClassFromText, "BUSTYPE ", PDU_PC_TIMING}, {ComParamDataTypeFromText, "PDU_PT_UNUM8", PDU_PT_UNUM8},
      {ComParamDataTypeFromText, "PDU_PT_SNUM16", PDU_PT_SNUM16},
      {ComParamDataTypeFromText, "PDU_PT_LONGFIELD", PDU_PT_LONGFIELD},
      {ComParamDataTypeFromText, "PDU_PT_FLOAT", PDU_PT_UNUM32},
      {ComParamDataTypeFromText, "pdu_pt_unum8", PDU_PT_UNUM32},
  };
  for (const Row& row : rows) EXPECT_EQ(row.convert(row.text), row.expected) << row.text;
}

TEST(Enumerations, ValuesOutsideTheirTablePrintAsUnknow) {
  struct Row { const char* (*name)(uint32_t); uint32_t value; const char* expected; };
  const Row rows[] = {
      {ObjectTypeName, PDU_OBJT_RESOURCE, "PDU_OBJT_RESOURCE"}, {ObjectTypeName, 0x8020, "UNKNOW"},
      {ComParamClassName, PDU_PC_ERRHDL, "PDU_PC_ERRHDL"}, {ComParamClassName, 0, "UNKNOW"},
      {ComParamClassName, 8, "UNKNOW"}, {ComParamDataTypeName, PDU_PT_STRUCTFIELD, "PDU_PT_STRUCTFIELD"},
      {ComParamDataTypeName, 0, "UNKNOW"}, {ComParamDataTypeName, 0x10A, "UNKNOW"},
      {ItemTypeName, PDU_IT_PARAM, "PDU_IT_PARAM"}, {ItemTypeName, 0x1500, "PDU_IT_MODULE_ID"},
      {ItemTypeName, 0x1801, "PDU_IT_ETH_SWITCH_STATE"}, {ItemTypeName, 0x1803, "PDU_IT_IO_ENTITY_STATUS"},
      {ItemTypeName, 0x1600, "UNKNOW"},
  };
  for (const Row& row : rows) EXPECT_STREQ(row.name(row.value), row.expected) << row.value;
}

// (The code of every ComParam a link sends: the golden link transcripts.)
TEST(VciCodes, GetVciCodeSearchesTheTablesInOrder) {
  struct Row { const char* name; uint32_t code; };
  const Row rows[] = {
      {"ISO_11898_2_DWCAN", 12}, {"SAE_J1939_11_DWCAN", 12}, {"ISO_11898_3_DWFTCAN", 12}, {"ISO_11992_1_DWCAN", 12},
      {"VW_DWCAN", 12},
      {"SAE_J2411_SWCAN", 10},  // not a DWCAN: its own code
      {"ISO_9141_2_UART", 13}, {"ISO_14230_1_UART", 14}, {"VW_9141UART", 13}, {"VW_14230UART", 14},
      {"SAE_J1850_PWM", 9}, {"SAE_J1708_UAR", 6}, {"MSP_KW1281_on_TP16", 104}, {"ISO_14230_3_on_ISO_14230_2", 0},
      {"ISO_OBD_on_SAE_J1939_73", 27}, {"PLUS", 7}, {"HI", 1}, {"IGNITION_CLAMP", 11}, {"PDU_IOCTL_RESET", 0},
      {"PDU_IOCTL_READ_VBATT", 6}, {"PDU_IOCTL_READ_IGNITION_SENSE_STATE", 17}, {"CP_CanTransmissionTime", 1},
      {"CP_P2Max", 15}, {"CP_Loopback", 11}, {"CP_Baudrate", 165}, {"CP_K_LinePullup", 173}, {"CPM_VWTP_DestAddr", 200},
      {"CPM_VWTP_ApplicationType", 204},  // the first of its two rows
      // Not forwarded to the VCI.
      {"CP_CanPhysReqId", kNoVciCode}, {"CP_CyclicRespTimeout", kNoVciCode}, {"CP_SwCan_HighVoltage", kNoVciCode},
      {"CP_TransmitIndEnable", kNoVciCode}, {"CP_CanBaudrateRecord", kNoVciCode}, {"CP_UartConfig", kNoVciCode},
      {"CPM_VWTP_PhysReqIdSetup", kNoVciCode},
      // In no table, or not exactly.
      {"cp_p2max", kNoVciCode}, {"ISO_15765_3_on_ISO_15765_2 ", kNoVciCode}, {"KW71_on_KW_UART", kNoVciCode},
      {"", kNoVciCode},
  };
  for (const Row& row : rows) EXPECT_EQ(GetVciCode(row.name), row.code) << row.name;
}

TEST(VciCodes, UniqueIdCodesAreTheTenResponseIdentifiers) {
  struct Row { const char* name; uint32_t code; };
  const Row rows[] = {
      {"CP_CanPhysReqId", 80},           {"CP_CanRespUSDTId", 83},
      {"CP_CanRespUUDTId", 86},          {"CP_EcuRespSourceAddress", 103},
      {"CP_PhysRespFormatPriorityType", 140}, {"CP_FuncRespFormatPriorityType", 185},
      {"CP_FuncRespTargetAddr", 186},    {"CPM_VWTP_PhysReqIdSetup", 205},
      {"CPM_VWTP_PhysRespIdSetup", 206}, {"CPM_VWTP_PhysRespIdCon", 208},
      // Neighbours and look-alikes that are not among the ten.
      {"CPM_VWTP_PhysReqIdCon", 255},    {"CP_CanRespUSDTFormat", 255},
      {"CP_PhysReqFormatPriorityType", 255}, {"CP_P2Max", 255},
      {"CPM_VWTP_PhysIdFormat", 255},    {"HI", 255},
  };
  for (const Row& row : rows) EXPECT_EQ(GetUniqueIdComParamCode(row.name), row.code) << row.name;
}

}  // namespace
}  // namespace pdu::mdf
