#include "mdf/VciCodes.h"

#include <array>

namespace pdu::mdf {
namespace {

constexpr std::array<VciNameCode, 11> kPinTypes{{
    {1, "HI"},
    {2, "LOW"},
    {3, "K"},
    {4, "L"},
    {5, "TX"},
    {6, "RX"},
    {7, "PLUS"},
    {8, "MINUS"},
    {9, "SINGLE"},
    {10, "PROGV"},
    {11, "IGNITION_CLAMP"},
}};

constexpr std::array<VciNameCode, 23> kIoCtls{{
    {0, "PDU_IOCTL_RESET"},
    {1, "PDU_IOCTL_CLEAR_TX_QUEUE"},
    {2, "PDU_IOCTL_SUSPEND_TX_QUEUE"},
    {3, "PDU_IOCTL_RESUME_TX_QUEUE"},
    {4, "PDU_IOCTL_CLEAR_RX_QUEUE"},
    {5, "PDU_IOCTL_CLEAR_TX_QUEUE_PENDING"},
    {6, "PDU_IOCTL_READ_VBATT"},
    {7, "PDU_IOCTL_SET_PROG_VOLTAGE"},
    {8, "PDU_IOCTL_READ_PROG_VOLTAGE"},
    {9, "PDU_IOCTL_GENERIC"},
    {10, "PDU_IOCTL_SET_BUFFER_SIZE"},
    {11, "PDU_IOCTL_GET_CABLE_ID"},
    {12, "PDU_IOCTL_START_MSG_FILTER"},
    {13, "PDU_IOCTL_CLEAR_MSG_FILTER"},
    {14, "PDU_IOCTL_STOP_MSG_FILTER"},
    {15, "PDU_IOCTL_SET_EVENT_QUEUE_PROPERTIES"},
    {16, "PDU_IOCTL_SEND_BREAK"},
    {17, "PDU_IOCTL_READ_IGNITION_SENSE_STATE"},
    {18, "PDU_IOCTL_VEHICLE_ID_REQUEST"},
    {19, "PDU_IOCTL_SET_ETH_SWITCH_STATE"},
    {20, "PDU_IOCTL_GET_ENTITY_STATUS"},
    {21, "PDU_IOCTL_GET_DIAGNOSTIC_POWER_MODE"},
    {22, "PDU_IOCTL_GET_ETH_PIN_OPTION"},
}};

// "SAE_J1708_UAR" is spelled as the firmware knows it.
constexpr std::array<VciNameCode, 15> kBusTypes{{
    {0, "ISO_11898_2_DWCAN"},
    {1, "ISO_11898_3_DWFTCAN"},
    {2, "ISO_11992_1_DWCAN"},
    {3, "ISO_9141_2_UART"},
    {4, "ISO_14230_1_UART"},
    {5, "SAE_J2610_UART"},
    {6, "SAE_J1708_UAR"},
    {7, "SAE_J1939_11_DWCAN"},
    {8, "SAE_J1850_VPW"},
    {9, "SAE_J1850_PWM"},
    {10, "SAE_J2411_SWCAN"},
    {11, "XDE_5024_UART"},
    {12, "VW_DWCAN"},
    {13, "VW_9141UART"},
    {14, "VW_14230UART"},
}};

constexpr std::array<VciNameCode, 33> kProtocols{{
    {0, "ISO_14230_3_on_ISO_14230_2"},
    {1, "ISO_14230_3_on_ISO_15765_2"},
    {2, "ISO_15765_3_on_ISO_15765_2"},
    {3, "ISO_14229_3_on_ISO_15765_2"},
    {4, "SAE_J2190_on_ISO_14230_2"},
    {5, "SAE_J2190_on_ISO_9141_2"},
    {6, "SAE_J2190_on_ISO_15765_2"},
    {7, "SAE_J2190_on_SAE_J1850_VPW"},
    {8, "SAE_J2190_on_SAE_J1850_PWM"},
    {9, "ISO_15031_5_on_ISO_9141_2"},
    {10, "ISO_15031_5_on_SAE_J1850_VPW"},
    {11, "ISO_15031_5_on_ISO_15765_4"},
    {12, "ISO_15031_5_on_SAE_J1850_PWM"},
    {13, "ISO_15031_5_on_ISO_14230_4"},
    {14, "ISO_15031_5_on_SAE_J1939_73"},
    {15, "SAE_J1939_73_on_SAE_J1939_21"},
    {16, "SAE_J1587_on_SAE_J1708"},
    {17, "SAE_J2610_on_SAE_J2610_SCI"},
    {18, "ISO_11898_RAW"},
    {19, "SAE_J2190_on_ISO_9141_2_and_ISO_14230_2"},
    {20, "ISO_15031_5_on_ISO_9141_2_and_ISO_14230_4"},
    {21, "SAE_J2190_on_SAE_J1850"},
    {22, "ISO_15031_5_on_SAE_J1850"},
    {23, "ISO_14229_5_on_ISO_13400_2"},
    {24, "ISO_OBD_on_K_Line"},
    {25, "ISO_OBD_on_SAE_J1850"},
    {26, "ISO_OBD_on_ISO_15765_4"},
    {27, "ISO_OBD_on_SAE_J1939_73"},
    {100, "MSP_VW2000LP_on_TP20"},
    {101, "MSP_VW2000LP_on_TP16"},
    {102, "MSP_VW2000LP_on_ISO_14230_2"},
    {103, "MSP_KW1281_on_ISO_9141_2"},
    {104, "MSP_KW1281_on_TP16"},
}};

// Codes 1..186 in row order, then the TP2.0 ComParams 200..210. The name
// "CPM_VWTP_ApplicationType" stands twice (204 and 210); lookups by name
// stop at the first row, 204.
constexpr std::array<VciNameCode, 197> kComParams{{
    {1, "CP_CanTransmissionTime"},
    {2, "CP_ChangeSpeedCtrl"},
    {3, "CP_ChangeSpeedMessage"},
    {4, "CP_ChangeSpeedRate"},
    {5, "CP_ChangeSpeedResCtrl"},
    {6, "CP_ChangeSpeedTxDelay"},
    {7, "CP_CyclicRespTimeout"},
    {8, "CP_DoIPConnectionCloseDelay"},
    {9, "CP_EnablePerformanceTest"},
    {10, "CP_EnableInitSeqRepetition"},
    {11, "CP_Loopback"},
    {12, "CP_MessageIndicationRate"},
    {13, "CP_ModifyTiming"},
    {14, "CP_NetworkTransmissionTime"},
    {15, "CP_P2Max"},
    {16, "CP_P2Max_Ecu"},
    {17, "CP_P2Min"},
    {18, "CP_P2Star"},
    {19, "CP_P2Star_Ecu"},
    {20, "CP_P3Func"},
    {21, "CP_P3Max_Ecu"},
    {22, "CP_P3Min"},
    {23, "CP_P3Phys"},
    {24, "CP_P6Max"},
    {25, "CP_P6Star"},
    {26, "CP_RC21CompletionTimeout"},
    {27, "CP_RC21Handling"},
    {28, "CP_RC21RequestTime"},
    {29, "CP_RC23CompletionTimeout"},
    {30, "CP_RC23Handling"},
    {31, "CP_RC23RequestTime"},
    {32, "CP_RC78CompletionTimeout"},
    {33, "CP_RC78Handling"},
    {34, "CP_RCByteOffset"},
    {35, "CP_RepeatReqCountApp"},
    {36, "CP_SessionTiming_Ecu"},
    {37, "CP_SessionTimingOverride"},
    {38, "CP_StartMsgIndEnable"},
    {39, "CP_SuspendQueueOnError"},
    {40, "CP_SwCan_HighVoltage"},
    {41, "CP_TesterPresentAddrMode"},
    {42, "CP_TesterPresentExpPosResp"},
    {43, "CP_TesterPresentExpNegResp"},
    {44, "CP_TesterPresentHandling"},
    {45, "CP_TesterPresentMessage"},
    {46, "CP_TesterPresentReqRsp"},
    {47, "CP_TesterPresentSendType"},
    {48, "CP_TesterPresentTime"},
    {49, "CP_TesterPresentTime_Ecu"},
    {50, "CP_TransmitIndEnable"},
    {51, "CP_5BaudAddressInverted"},
    {52, "CP_5BaudAddressFunc"},
    {53, "CP_5BaudAddressPhys"},
    {54, "CP_5BaudMode"},
    {55, "CP_5BaudCommmBaudrateOverride"},
    {56, "CP_5BaudInitBaudrate"},
    {57, "CP_AccessTiming_Ecu"},
    {58, "CP_AccessTimingOverride"},
    {59, "CP_Ar"},
    {60, "CP_Ar_Ecu"},
    {61, "CP_As"},
    {62, "CP_As_Ecu"},
    {63, "CP_BlockSize"},
    {64, "CP_BlockSize_Ecu"},
    {65, "CP_BlockSizeOverride"},
    {66, "CP_Br"},
    {67, "CP_Br_Ecu"},
    {68, "CP_Bs"},
    {69, "CP_Bs_Ecu"},
    {70, "CP_CanDataSizeOffset"},
    {71, "CP_CanFillerByte"},
    {72, "CP_CanFillerByteHandling"},
    {73, "CP_CanFirstConsecutiveFrameValue"},
    {74, "CP_CanFuncReqExtAddr"},
    {75, "CP_CanFuncReqFormat"},
    {76, "CP_CanFuncReqId"},
    {77, "CP_CanMaxNumWaitFrames"},
    {78, "CP_CanPhysReqExtAddr"},
    {79, "CP_CanPhysReqFormat"},
    {80, "CP_CanPhysReqId"},
    {81, "CP_CanRespUSDTExtAddr"},
    {82, "CP_CanRespUSDTFormat"},
    {83, "CP_CanRespUSDTId"},
    {84, "CP_CanRespUUDTExtAddr"},
    {85, "CP_CanRespUUDTFormat"},
    {86, "CP_CanRespUUDTId"},
    {87, "CP_CANFDTxMaxDataLength"},
    {88, "CP_Cr"},
    {89, "CP_Cr_Ecu"},
    {90, "CP_Cs"},
    {91, "CP_Cs_Ecu"},
    {92, "CP_DisableTransportChecksumCheck"},
    {93, "CP_DoIPLogicalGatewayAddress"},
    {94, "CP_DoIPLogicalTesterAddress"},
    {95, "CP_DoIPLogicalEcuAddress"},
    {96, "CP_DoIPSecondaryLogicalECUResponse_Address"},
    {97, "CP_DoIPLogicalFunctionalAddress"},
    {98, "CP_DoIPNumberOfRetries"},
    {99, "CP_DoIPDiagnosticAckTimeout"},
    {100, "CP_DoIPRetryPeriod"},
    {101, "CP_DoIPRoutingActivationType"},
    {102, "CP_DoIPRoutingActivationTimeout"},
    {103, "CP_EcuRespSourceAddress"},
    {104, "CP_EnableConcatenation"},
    {105, "CP_ExtendedTiming"},
    {106, "CP_EscapeSequenHandling"},
    {107, "CP_FillerByte"},
    {108, "CP_FillerByteHandling"},
    {109, "CP_FillerByteLength"},
    {110, "CP_FuncReqFormatPriorityType"},
    {111, "CP_FuncReqTargetAddr"},
    {112, "CP_HeaderFormatJ1850"},
    {113, "CP_HeaderFormatKW"},
    {114, "CP_InitializationSettings"},
    {115, "CP_ISOKeyByteCount"},
    {116, "CP_J1939AddrClaimTimeout"},
    {117, "CP_J1939AddressNegotiationRule"},
    {118, "CP_J1939DataPage"},
    {119, "CP_J1939MaxPacketTx"},
    {120, "CP_J1939Name"},
    {121, "CP_J1939Name_Ecu"},
    {122, "CP_J1939PDUFormat"},
    {123, "CP_J1939PDUSpecific"},
    {124, "CP_J1939PreferredAddress"},
    {125, "CP_J1939PreferredAddress_Ecu"},
    {126, "CP_J1939SourceAddress"},
    {127, "CP_J1939SourceName"},
    {128, "CP_J1939TargetAddress"},
    {129, "CP_J1939TargetName"},
    {130, "CP_MaxDataLength_Ecu"},
    {131, "CP_MessagePriority"},
    {132, "CP_MidReqId"},
    {133, "CP_MidRespId"},
    {134, "CP_P1Max"},
    {135, "CP_P1Min"},
    {136, "CP_P4Max"},
    {137, "CP_P4Min"},
    {138, "CP_PhysReqFormatPriorityType"},
    {139, "CP_PhysReqTargetAddr"},
    {140, "CP_PhysRespFormatPriorityType"},
    {141, "CP_RepeatReqCountTrans"},
    {142, "CP_RequestAddrMode"},
    {143, "CP_SCITransmitMode"},
    {144, "CP_SendRemoteFrame"},
    {145, "CP_StMin"},
    {146, "CP_StMin_Ecu"},
    {147, "CP_StMinOverride"},
    {148, "CP_T1Max"},
    {149, "CP_T2Max"},
    {150, "CP_T3Max"},
    {151, "CP_T4Max"},
    {152, "CP_T5Max"},
    {153, "CP_TesterSourceAddress"},
    {154, "CP_TIdle"},
    {155, "CP_TInil"},
    {156, "CP_TPConnectionManagemen"},
    {157, "CP_TWup"},
    {158, "CP_W1Max"},
    {159, "CP_W2Max"},
    {160, "CP_W2Min"},
    {161, "CP_W3Max"},
    {162, "CP_W3Min"},
    {163, "CP_W4Max"},
    {164, "CP_W4Min"},
    {165, "CP_Baudrate"},
    {166, "CP_CANFDBaudrate"},
    {167, "CP_BitSamplePoint"},
    {168, "CP_BitSamplePoint_Ecu"},
    {169, "CP_CANFDBitSamplePoint"},
    {170, "CP_CANFDBitSamplePoint_Ecu"},
    {171, "CP_CanBaudrateRecord"},
    {172, "CP_K_L_LineInit"},
    {173, "CP_K_LinePullup"},
    {174, "CP_ListenOnly"},
    {175, "CP_NetworkLine"},
    {176, "CP_SamplesPerBit"},
    {177, "CP_SamplesPerBit_Ecu"},
    {178, "CP_SyncJumpWidth"},
    {179, "CP_SyncJumpWidth_Ecu"},
    {180, "CP_CANFDSyncJumpWidth"},
    {181, "CP_CANFDSyncJumpWidth_Ecu"},
    {182, "CP_TerminationType"},
    {183, "CP_TerminationType_Ecu"},
    {184, "CP_UartConfig"},
    {185, "CP_FuncRespFormatPriorityType"},
    {186, "CP_FuncRespTargetAddr"},
    {200, "CPM_VWTP_DestAddr"},
    {201, "CPM_VWTP_T1"},
    {202, "CPM_VWTP_T3"},
    {203, "CPM_VWTP_BlockSize"},
    {204, "CPM_VWTP_ApplicationType"},
    {205, "CPM_VWTP_PhysReqIdSetup"},
    {206, "CPM_VWTP_PhysRespIdSetup"},
    {207, "CPM_VWTP_PhysReqIdCon"},
    {208, "CPM_VWTP_PhysRespIdCon"},
    {209, "CPM_VWTP_ComfortDiag"},
    {210, "CPM_VWTP_ApplicationType"},
}};

// The VCI takes a ComParam of the link only when its code lies in one of
// these ranges; identifiers, addressing and the CAN bit timing record are
// configured by the VCI itself from the resource and the unique response
// table.
struct CodeRange {
  uint32_t first;
  uint32_t last;
};
constexpr std::array<CodeRange, 11> kForwardedComParams{{
    {1, 6},      // CP_CanTransmissionTime .. CP_ChangeSpeedTxDelay
    {11, 11},    // CP_Loopback
    {13, 38},    // CP_ModifyTiming .. CP_StartMsgIndEnable
    {41, 49},    // CP_TesterPresentAddrMode .. CP_TesterPresentTime_Ecu
    {51, 56},    // CP_5BaudAddressInverted .. CP_5BaudInitBaudrate
    {110, 111},  // CP_FuncReqFormatPriorityType, CP_FuncReqTargetAddr
    {134, 139},  // CP_P1Max .. CP_PhysReqTargetAddr
    {142, 142},  // CP_RequestAddrMode
    {148, 166},  // CP_T1Max .. CP_CANFDBaudrate
    {172, 173},  // CP_K_L_LineInit, CP_K_LinePullup
    {200, 204},  // CPM_VWTP_DestAddr .. CPM_VWTP_ApplicationType
}};

// The response-identification ComParams and the codes they travel under in
// the unique response identifier table.
constexpr std::array<uint32_t, 10> kUniqueIdCodes{80, 83, 86, 103, 140, 185, 186, 205, 206, 208};

template <size_t N>
const VciNameCode* Find(const std::array<VciNameCode, N>& table, std::string_view name) {
  for (const VciNameCode& row : table) {
    if (row.Name == name) return &row;
  }
  return nullptr;
}

bool IsForwarded(uint32_t code) {
  for (const CodeRange& r : kForwardedComParams) {
    if (code >= r.first && code <= r.last) return true;
  }
  return false;
}

}  // namespace

std::span<const VciNameCode> PinTypeNameTable() { return kPinTypes; }
std::span<const VciNameCode> IoCtlNameTable() { return kIoCtls; }
std::span<const VciNameCode> BusTypeNameTable() { return kBusTypes; }
std::span<const VciNameCode> ProtocolNameTable() { return kProtocols; }
std::span<const VciNameCode> ComParamNameTable() { return kComParams; }

uint32_t GetVciCode(std::string_view shortName) {
  if (const VciNameCode* row = Find(kPinTypes, shortName)) return row->Code;
  if (const VciNameCode* row = Find(kIoCtls, shortName)) return row->Code;
  if (const VciNameCode* row = Find(kComParams, shortName)) {
    return IsForwarded(row->Code) ? row->Code : kNoVciCode;
  }
  if (const VciNameCode* row = Find(kBusTypes, shortName)) {
    // The VCI has one CAN bus (12) and two K-line modes (13 ISO 9141,
    // 14 ISO 14230); every CAN flavour of the standard runs on the former.
    if (shortName.ends_with("DWCAN") || shortName.ends_with("DWFTCAN")) return 12;
    if (shortName == "ISO_9141_2_UART") return 13;
    if (shortName == "ISO_14230_1_UART") return 14;
    return row->Code;
  }
  if (const VciNameCode* row = Find(kProtocols, shortName)) return row->Code;
  return kNoVciCode;
}

uint32_t GetUniqueIdComParamCode(std::string_view comParamShortName) {
  const VciNameCode* row = Find(kComParams, comParamShortName);
  if (row == nullptr) return kNoUniqueIdCode;
  for (uint32_t code : kUniqueIdCodes) {
    if (row->Code == code) return code;
  }
  return kNoUniqueIdCode;
}

}  // namespace pdu::mdf
