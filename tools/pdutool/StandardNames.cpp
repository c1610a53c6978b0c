// Short names that ISO 22900-2 gives to the objects of a module
// description: pdutool asks the library for the object id of each
// (PDUGetObjectId) to list what a module supports, whichever vendor made it.
// Resource names are the vendor's own and are read from an MDF file instead.
#include "StandardNames.h"

namespace pdutool {
namespace {

const char* const kProtocols[] = {
    "SAE_J2190_on_ISO_9141", "KW71_on_KW_UART", "KW81_on_KW_UART", "KW82_on_KW_UART",
    "ISO_14230_3_on_ISO_14230_2", "ISO_14230_3_on_ISO_15765_2", "ISO_15765_3_on_ISO_15765_2",
    "ISO_14229_3_on_ISO_15765_2", "SAE_J2190_on_ISO_14230_2", "SAE_J2190_on_ISO_9141_2",
    "SAE_J2190_on_ISO_15765_2", "SAE_J2190_on_SAE_J1850_VPW", "SAE_J2190_on_SAE_J1850_PWM",
    "ISO_15031_5_on_ISO_9141_2", "ISO_15031_5_on_SAE_J1850_VPW", "ISO_15031_5_on_ISO_15765_4",
    "ISO_15031_5_on_SAE_J1850_PWM", "ISO_15031_5_on_ISO_14230_4", "ISO_15031_5_on_SAE_J1939_73",
    "SAE_J1939_73_on_SAE_J1939_21", "SAE_J1587_on_SAE_J1708", "SAE_J2610_on_SAE_J2610_SCI", "ISO_11898_RAW",
    "SAE_J2190_on_ISO_9141_2_and_ISO_14230_2", "ISO_15031_5_on_ISO_9141_2_and_ISO_14230_4",
    "SAE_J2190_on_SAE_J1850", "ISO_15031_5_on_SAE_J1850", "ISO_14229_5_on_ISO_13400_2", "ISO_OBD_on_K_Line",
    "ISO_OBD_on_SAE_J1850", "ISO_OBD_on_ISO_15765_4", "ISO_OBD_on_SAE_J1939_73", "MSP_VW2000LP_on_TP20",
    "MSP_VW2000LP_on_TP16", "MSP_VW2000LP_on_ISO_14230_2", "MSP_KW1281_on_ISO_9141_2", "MSP_KW1281_on_TP16",
};

const char* const kBusTypes[] = {
    "ISO_11898_2_DWCAN", "ISO_11898_3_DWFTCAN", "ISO_11992_1_DWCAN", "ISO_9141_2_UART", "ISO_14230_1_UART",
    "SAE_J2610_UART", "SAE_J1708_UART", "SAE_J1939_11_DWCAN", "SAE_J1850_VPW", "SAE_J1850_PWM",
    "SAE_J2411_SWCAN", "XDE_5024_UART", "VW_DWCAN", "VW_9141UART", "VW_14230UART",
};

const char* const kPinTypes[] = {
    "HI", "LOW", "K", "L", "TX", "RX", "PLUS", "MINUS", "SINGLE", "PROGV", "IGNITION_CLAMP",
};

const char* const kIoCtls[] = {
    "PDU_IOCTL_RESET", "PDU_IOCTL_CLEAR_TX_QUEUE", "PDU_IOCTL_SUSPEND_TX_QUEUE", "PDU_IOCTL_RESUME_TX_QUEUE",
    "PDU_IOCTL_CLEAR_RX_QUEUE", "PDU_IOCTL_CLEAR_TX_QUEUE_PENDING", "PDU_IOCTL_READ_VBATT",
    "PDU_IOCTL_SET_PROG_VOLTAGE", "PDU_IOCTL_READ_PROG_VOLTAGE", "PDU_IOCTL_GENERIC",
    "PDU_IOCTL_SET_BUFFER_SIZE", "PDU_IOCTL_GET_CABLE_ID", "PDU_IOCTL_START_MSG_FILTER",
    "PDU_IOCTL_CLEAR_MSG_FILTER", "PDU_IOCTL_STOP_MSG_FILTER", "PDU_IOCTL_SET_EVENT_QUEUE_PROPERTIES",
    "PDU_IOCTL_SEND_BREAK", "PDU_IOCTL_READ_IGNITION_SENSE_STATE", "PDU_IOCTL_VEHICLE_ID_REQUEST",
    "PDU_IOCTL_SET_ETH_SWITCH_STATE", "PDU_IOCTL_GET_ENTITY_STATUS", "PDU_IOCTL_GET_DIAGNOSTIC_POWER_MODE",
    "PDU_IOCTL_GET_ETH_PIN_OPTION", "PDU_IOCTL_GET_WLAN_STATUS", "PDU_IOCTL_GET_SSIDS",
    "PDU_IOCTL_GET_ETH_SWITCH_STATE",
};

const char* const kComParams[] = {
    "CP_CanTransmissionTime", "CP_ChangeSpeedCtrl", "CP_ChangeSpeedMessage", "CP_ChangeSpeedRate",
    "CP_ChangeSpeedResCtrl", "CP_ChangeSpeedTxDelay", "CP_CyclicRespTimeout", "CP_DoIPConnectionCloseDelay",
    "CP_EnablePerformanceTest", "CP_EnableInitSeqRepetition", "CP_Loopback", "CP_MessageIndicationRate",
    "CP_ModifyTiming", "CP_NetworkTransmissionTime", "CP_P2Max", "CP_P2Max_Ecu", "CP_P2Min", "CP_P2Star",
    "CP_P2Star_Ecu", "CP_P3Func", "CP_P3Max_Ecu", "CP_P3Min", "CP_P3Phys", "CP_P6Max", "CP_P6Star",
    "CP_RC21CompletionTimeout", "CP_RC21Handling", "CP_RC21RequestTime", "CP_RC23CompletionTimeout",
    "CP_RC23Handling", "CP_RC23RequestTime", "CP_RC78CompletionTimeout", "CP_RC78Handling", "CP_RCByteOffset",
    "CP_RepeatReqCountApp", "CP_SessionTiming_Ecu", "CP_SessionTimingOverride", "CP_StartMsgIndEnable",
    "CP_SuspendQueueOnError", "CP_SwCan_HighVoltage", "CP_TesterPresentAddrMode",
    "CP_TesterPresentExpPosResp", "CP_TesterPresentExpNegResp", "CP_TesterPresentHandling",
    "CP_TesterPresentMessage", "CP_TesterPresentReqRsp", "CP_TesterPresentSendType", "CP_TesterPresentTime",
    "CP_TesterPresentTime_Ecu", "CP_TransmitIndEnable", "CP_5BaudAddressInverted", "CP_5BaudAddressFunc",
    "CP_5BaudAddressPhys", "CP_5BaudMode", "CP_5BaudCommmBaudrateOverride", "CP_5BaudInitBaudrate",
    "CP_AccessTiming_Ecu", "CP_AccessTimingOverride", "CP_Ar", "CP_Ar_Ecu", "CP_As", "CP_As_Ecu",
    "CP_BlockSize", "CP_BlockSize_Ecu", "CP_BlockSizeOverride", "CP_Br", "CP_Br_Ecu", "CP_Bs", "CP_Bs_Ecu",
    "CP_CanDataSizeOffset", "CP_CanFillerByte", "CP_CanFillerByteHandling",
    "CP_CanFirstConsecutiveFrameValue", "CP_CanFuncReqExtAddr", "CP_CanFuncReqFormat", "CP_CanFuncReqId",
    "CP_CanMaxNumWaitFrames", "CP_CanPhysReqExtAddr", "CP_CanPhysReqFormat", "CP_CanPhysReqId",
    "CP_CanRespUSDTExtAddr", "CP_CanRespUSDTFormat", "CP_CanRespUSDTId", "CP_CanRespUUDTExtAddr",
    "CP_CanRespUUDTFormat", "CP_CanRespUUDTId", "CP_CANFDTxMaxDataLength", "CP_Cr", "CP_Cr_Ecu", "CP_Cs",
    "CP_Cs_Ecu", "CP_DisableTransportChecksumCheck", "CP_DoIPLogicalGatewayAddress",
    "CP_DoIPLogicalTesterAddress", "CP_DoIPLogicalEcuAddress", "CP_DoIPSecondaryLogicalECUResponse_Address",
    "CP_DoIPLogicalFunctionalAddress", "CP_DoIPNumberOfRetries", "CP_DoIPDiagnosticAckTimeout",
    "CP_DoIPRetryPeriod", "CP_DoIPRoutingActivationType", "CP_DoIPRoutingActivationTimeout",
    "CP_EcuRespSourceAddress", "CP_EnableConcatenation", "CP_ExtendedTiming", "CP_EscapeSequenHandling",
    "CP_FillerByte", "CP_FillerByteHandling", "CP_FillerByteLength", "CP_FuncReqFormatPriorityType",
    "CP_FuncReqTargetAddr", "CP_HeaderFormatJ1850", "CP_HeaderFormatKW", "CP_InitializationSettings",
    "CP_ISOKeyByteCount", "CP_J1939AddrClaimTimeout", "CP_J1939AddressNegotiationRule", "CP_J1939DataPage",
    "CP_J1939MaxPacketTx", "CP_J1939Name", "CP_J1939Name_Ecu", "CP_J1939PDUFormat", "CP_J1939PDUSpecific",
    "CP_J1939PreferredAddress", "CP_J1939PreferredAddress_Ecu", "CP_J1939SourceAddress", "CP_J1939SourceName",
    "CP_J1939TargetAddress", "CP_J1939TargetName", "CP_MaxDataLength_Ecu", "CP_MessagePriority",
    "CP_MidReqId", "CP_MidRespId", "CP_P1Max", "CP_P1Min", "CP_P4Max", "CP_P4Min",
    "CP_PhysReqFormatPriorityType", "CP_PhysReqTargetAddr", "CP_PhysRespFormatPriorityType",
    "CP_RepeatReqCountTrans", "CP_RequestAddrMode", "CP_SCITransmitMode", "CP_SendRemoteFrame", "CP_StMin",
    "CP_StMin_Ecu", "CP_StMinOverride", "CP_T1Max", "CP_T2Max", "CP_T3Max", "CP_T4Max", "CP_T5Max",
    "CP_TesterSourceAddress", "CP_TIdle", "CP_TInil", "CP_TPConnectionManagemen", "CP_TWup", "CP_W1Max",
    "CP_W2Max", "CP_W2Min", "CP_W3Max", "CP_W3Min", "CP_W4Max", "CP_W4Min", "CP_Baudrate", "CP_CANFDBaudrate",
    "CP_BitSamplePoint", "CP_BitSamplePoint_Ecu", "CP_CANFDBitSamplePoint", "CP_CANFDBitSamplePoint_Ecu",
    "CP_CanBaudrateRecord", "CP_K_L_LineInit", "CP_K_LinePullup", "CP_ListenOnly", "CP_NetworkLine",
    "CP_SamplesPerBit", "CP_SamplesPerBit_Ecu", "CP_SyncJumpWidth", "CP_SyncJumpWidth_Ecu",
    "CP_CANFDSyncJumpWidth", "CP_CANFDSyncJumpWidth_Ecu", "CP_TerminationType", "CP_TerminationType_Ecu",
    "CP_UartConfig", "CP_FuncRespFormatPriorityType", "CP_FuncRespTargetAddr", "CPM_VWTP_DestAddr",
    "CPM_VWTP_T1", "CPM_VWTP_T3", "CPM_VWTP_BlockSize", "CPM_VWTP_ApplicationType", "CPM_VWTP_PhysReqIdSetup",
    "CPM_VWTP_PhysRespIdSetup", "CPM_VWTP_PhysReqIdCon", "CPM_VWTP_PhysRespIdCon", "CPM_VWTP_ComfortDiag",
    "CPM_VWTP_PhysIdFormat",
};

}  // namespace

std::span<const char* const> StandardProtocols() { return kProtocols; }
std::span<const char* const> StandardBusTypes() { return kBusTypes; }
std::span<const char* const> StandardPinTypes() { return kPinTypes; }
std::span<const char* const> StandardIoCtls() { return kIoCtls; }
std::span<const char* const> StandardComParams() { return kComParams; }

}  // namespace pdutool
