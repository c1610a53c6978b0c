/*
 * pdu_api.h - the D-PDU API (ISO 22900-2) as exported by libpdu7318.
 *
 * Compiles as C and as C++. Structures use the platform's natural alignment.
 * On 32-bit Windows every function uses __stdcall and is exported under its
 * plain name (a .def file takes care of the decoration); elsewhere the
 * platform's C calling convention applies.
 */
#ifndef PDU_API_H
#define PDU_API_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define PDU_CALL __stdcall
#else
#define PDU_CALL
#endif

#if defined(_WIN32)
#if defined(PDU7318_BUILDING)
#define PDU_EXPORT __declspec(dllexport)
#else
#define PDU_EXPORT
#endif
#else
#if defined(PDU7318_BUILDING)
#define PDU_EXPORT __attribute__((visibility("default")))
#else
#define PDU_EXPORT
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- basic types ---------------------------------------------------- */
typedef uint8_t UNUM8;
typedef int8_t SNUM8;
typedef uint16_t UNUM16;
typedef int16_t SNUM16;
typedef uint32_t UNUM32;
typedef int32_t SNUM32;
typedef char CHAR8;

typedef UNUM32 T_PDU_ERROR;
typedef UNUM32 T_PDU_STATUS;
typedef UNUM32 T_PDU_IT;
typedef UNUM32 T_PDU_OBJT;
typedef UNUM32 T_PDU_COPT;
typedef UNUM32 T_PDU_PT;
typedef UNUM32 T_PDU_PC;
typedef UNUM32 T_PDU_EVT_DATA;
typedef UNUM32 T_PDU_ERR_EVT;

/* ---- status codes (T_PDU_ERROR) ------------------------------------- */
#define PDU_STATUS_NOERROR 0x00000000u
#define PDU_ERR_FCT_FAILED 0x00000001u
#define PDU_ERR_RESERVED_1 0x00000010u
#define PDU_ERR_COMM_PC_TO_VCI_FAILED 0x00000011u
#define PDU_ERR_PDUAPI_NOT_CONSTRUCTED 0x00000020u
#define PDU_ERR_SHARING_VIOLATION 0x00000021u
#define PDU_ERR_RESOURCE_BUSY 0x00000030u
#define PDU_ERR_RESOURCE_TABLE_CHANGED 0x00000031u
#define PDU_ERR_RESOURCE_ERROR 0x00000032u
#define PDU_ERR_CLL_NOT_CONNECTED 0x00000040u
#define PDU_ERR_CLL_NOT_STARTED 0x00000041u
#define PDU_ERR_INVALID_PARAMETERS 0x00000050u
#define PDU_ERR_INVALID_HANDLE 0x00000060u
#define PDU_ERR_VALUE_NOT_SUPPORTED 0x00000061u
#define PDU_ERR_ID_NOT_SUPPORTED 0x00000062u
#define PDU_ERR_COMPARAM_NOT_SUPPORTED 0x00000063u
#define PDU_ERR_COMPARAM_LOCKED 0x00000064u
#define PDU_ERR_TX_QUEUE_FULL 0x00000070u
#define PDU_ERR_EVENT_QUEUE_EMPTY 0x00000071u
#define PDU_ERR_VOLTAGE_NOT_SUPPORTED 0x00000080u
#define PDU_ERR_MUX_RSC_NOT_SUPPORTED 0x00000081u
#define PDU_ERR_CABLE_UNKNOWN 0x00000082u
#define PDU_ERR_NO_CABLE_DETECTED 0x00000083u
#define PDU_ERR_CLL_CONNECTED 0x00000084u
#define PDU_ERR_TEMPPARAM_NOT_ALLOWED 0x00000090u
#define PDU_ERR_RSC_LOCKED 0x000000A0u
#define PDU_ERR_RSC_LOCKED_BY_OTHER_CLL 0x000000A1u
#define PDU_ERR_RSC_NOT_LOCKED 0x000000A2u
#define PDU_ERR_MODULE_NOT_CONNECTED 0x000000A3u
#define PDU_ERR_API_SW_OUT_OF_DATE 0x000000A4u
#define PDU_ERR_MODULE_FW_OUT_OF_DATE 0x000000A5u
#define PDU_ERR_PIN_NOT_CONNECTED 0x000000A6u
#define PDU_ERR_IP_PROTOCOL_NOT_SUPPORTED 0x000000B0u
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_FAILED 0x000000B1u
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_AUTHENTICATION_FAILED 0x000000B2u
#define PDU_ERR_DOIP_AMBIGUOUS_LOGICAL_ADDRESS 0x000000B3u
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_INVALID_SOURCE_ADDRESS 0x000000B4u
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_NO_DATA_SOCKET_AVAILABLE 0x000000B5u
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_SOURCE_ADDRESS_CHANGED 0x000000B6u
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_SOURCE_ADDRESS_IN_USE 0x000000B7u
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_CONFIRMATION_REJECTED 0x000000B8u
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_TYPE_UNSUPPORTED 0x000000B9u
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_RESPONSE_CODE_UNKNOWN 0x000000BAu
#define PDU_ERR_DOIP_ROUTING_ACTIVATION_RESPONSE_TIMEOUT 0x000000BBu
#define PDU_ERR_DOIP_RESPONSE_TIMEOUT 0x000000BCu

/* ---- item types (T_PDU_IT) ------------------------------------------ */
#define PDU_IT_IO_UNUM32 0x1000u
#define PDU_IT_IO_PROG_VOLTAGE 0x1001u
#define PDU_IT_IO_BYTEARRAY 0x1002u
#define PDU_IT_IO_FILTER 0x1003u
#define PDU_IT_IO_EVENT_QUEUE_PROPERTY 0x1004u
#define PDU_IT_RSC_STATUS 0x1100u
#define PDU_IT_PARAM 0x1200u
#define PDU_IT_RESULT 0x1300u
#define PDU_IT_STATUS 0x1301u
#define PDU_IT_ERROR 0x1302u
#define PDU_IT_INFO 0x1303u
#define PDU_IT_RSC_ID 0x1400u
/* The standard's table gives PDU_IT_RSC_CONFLICT = 0x1500 and
 * PDU_IT_MODULE_ID = 0x1600. This module hands out its module list with the
 * item type 0x1500 and has always called it PDU_IT_MODULE_ID; applications
 * written against it compare with 0x1500, so that is what this name means. */
#define PDU_IT_MODULE_ID 0x1500u
#define PDU_IT_RSC_CONFLICT 0x1500u
#define PDU_IT_UNIQUE_RESP_ID_TABLE 0x1700u
#define PDU_IT_IO_VEHICLE_ID_REQUEST 0x1800u
#define PDU_IT_IO_ETH_SWITCH_STATE 0x1801u
#define PDU_IT_IO_ENTITY_ADDRESS 0x1802u
#define PDU_IT_IO_ENTITY_STATUS 0x1803u

/* ---- object types (T_PDU_OBJT) -------------------------------------- */
#define PDU_OBJT_PROTOCOL 0x8021u
#define PDU_OBJT_BUSTYPE 0x8022u
#define PDU_OBJT_IO_CTRL 0x8023u
#define PDU_OBJT_COMPARAM 0x8024u
#define PDU_OBJT_PINTYPE 0x8025u
#define PDU_OBJT_RESOURCE 0x8026u

/* ---- ComParam data types (T_PDU_PT) --------------------------------- */
#define PDU_PT_UNUM8 0x101u
#define PDU_PT_SNUM8 0x102u
#define PDU_PT_UNUM16 0x103u
#define PDU_PT_SNUM16 0x104u
#define PDU_PT_UNUM32 0x105u
#define PDU_PT_SNUM32 0x106u
#define PDU_PT_BYTEFIELD 0x107u
#define PDU_PT_STRUCTFIELD 0x108u
#define PDU_PT_LONGFIELD 0x109u

/* ---- ComParam classes (T_PDU_PC) ------------------------------------ */
#define PDU_PC_TIMING 1u
#define PDU_PC_INIT 2u
#define PDU_PC_COM 3u
#define PDU_PC_ERRHDL 4u
#define PDU_PC_BUSTYPE 5u
#define PDU_PC_UNIQUE_ID 6u
#define PDU_PC_TESTER_PRESENT 7u

/* ---- ComPrimitive types (T_PDU_COPT) -------------------------------- */
#define PDU_COPT_STARTCOMM 0x8001u
#define PDU_COPT_STOPCOMM 0x8002u
#define PDU_COPT_UPDATEPARAM 0x8003u
#define PDU_COPT_SENDRECV 0x8004u
#define PDU_COPT_DELAY 0x8005u
#define PDU_COPT_RESTORE_PARAM 0x8006u

/* ---- status values (T_PDU_STATUS) ----------------------------------- */
#define PDU_COPST_IDLE 0x8010u
#define PDU_COPST_EXECUTING 0x8011u
#define PDU_COPST_FINISHED 0x8012u
#define PDU_COPST_CANCELLED 0x8013u
#define PDU_COPST_WAITING 0x8014u
#define PDU_CLLST_OFFLINE 0x8050u
#define PDU_CLLST_ONLINE 0x8051u
#define PDU_CLLST_COMM_STARTED 0x8052u
#define PDU_MODST_READY 0x8060u
#define PDU_MODST_NOT_READY 0x8061u
#define PDU_MODST_NOT_AVAIL 0x8062u
#define PDU_MODST_AVAIL 0x8063u

/* ---- events --------------------------------------------------------- */
#define PDU_EVT_DATA_AVAILABLE 0x0801u
#define PDU_EVT_DATA_LOST 0x0802u

#define PDU_ERR_EVT_NOERROR 0x00000000u
#define PDU_ERR_EVT_FRAME_STRUCT 0x00000100u
#define PDU_ERR_EVT_TX_ERROR 0x00000101u
#define PDU_ERR_EVT_TESTER_PRESENT_ERROR 0x00000102u
#define PDU_ERR_EVT_RX_TIMEOUT 0x00000103u
#define PDU_ERR_EVT_RX_ERROR 0x00000104u
#define PDU_ERR_EVT_PROT_ERR 0x00000105u
#define PDU_ERR_EVT_LOST_COMM_TO_VCI 0x00000106u
#define PDU_ERR_EVT_VCI_HARDWARE_FAULT 0x00000107u
#define PDU_ERR_EVT_INIT_ERROR 0x00000108u
#define PDU_ERR_EVT_RSC_LOCKED 0x00000109u

/* ---- special handle and id values ----------------------------------- */
#define PDU_HANDLE_UNDEF 0xFFFFFFFFu
#define PDU_ID_UNDEF 0xFFFFFFFEu

/* ---- structures ----------------------------------------------------- */
typedef struct {
  T_PDU_IT ItemType;
} PDU_ITEM;

typedef struct {
  T_PDU_IT ItemType;
  void* pData;
} PDU_DATA_ITEM;

typedef struct {
  UNUM32 DLCPinNumber;
  UNUM32 DLCPinTypeId;
} PDU_PIN_DATA;

typedef struct {
  UNUM32 BusTypeId;
  UNUM32 ProtocolId;
  UNUM32 NumPinData;
  PDU_PIN_DATA* pDLCPinData;
} PDU_RSC_DATA;

typedef struct {
  UNUM32 NumFlagBytes;
  UNUM8* pFlagData;
} PDU_FLAG_DATA;

typedef struct {
  T_PDU_IT ItemType;
  UNUM32 ComParamId;
  T_PDU_PT ComParamDataType;
  T_PDU_PC ComParamClass;
  void* pComParamData;
} PDU_PARAM_ITEM;

typedef struct {
  UNUM32 ParamMaxLen;
  UNUM32 ParamActLen;
  UNUM8* pDataArray;
} PDU_PARAM_BYTEFIELD_DATA;

typedef struct {
  UNUM32 ParamMaxLen;
  UNUM32 ParamActLen;
  UNUM32* pDataArray;
} PDU_PARAM_LONGFIELD_DATA;

typedef struct {
  UNUM32 UniqueRespIdentifier;
  UNUM32 NumParamItems;
  PDU_PARAM_ITEM* pParams;
} PDU_ECU_UNIQUE_RESP_DATA;

typedef struct {
  T_PDU_IT ItemType;
  UNUM32 NumEntries;
  PDU_ECU_UNIQUE_RESP_DATA* pUniqueData;
} PDU_UNIQUE_RESP_ID_TABLE_ITEM;

typedef struct {
  UNUM32 ResponseType;
  UNUM32 AcceptanceId;
  UNUM32 NumMaskPatternBytes;
  UNUM8* pMaskData;
  UNUM8* pPatternData;
  UNUM32 NumUniqueRespIds;
  UNUM32* pUniqueRespIds;
} PDU_EXP_RESP_DATA;

typedef struct {
  UNUM32 Time;
  SNUM32 NumSendCycles;
  SNUM32 NumReceiveCycles;
  UNUM32 TempParamUpdate;
  PDU_FLAG_DATA TxFlag;
  UNUM32 NumPossibleExpectedResponses;
  PDU_EXP_RESP_DATA* pExpectedResponseArray;
} PDU_COP_CTRL_DATA;

typedef struct {
  UNUM32 NumHeaderBytes;
  UNUM32 NumFooterBytes;
  UNUM8* pHeaderBytes;
  UNUM8* pFooterBytes;
} PDU_EXTRA_INFO;

typedef struct {
  PDU_FLAG_DATA RxFlag;
  UNUM32 UniqueRespIdentifier;
  UNUM32 AcceptanceId;
  PDU_FLAG_DATA TimestampFlags;
  UNUM32 TxMsgDoneTimestamp;
  UNUM32 StartMsgTimestamp;
  PDU_EXTRA_INFO* pExtraInfo;
  UNUM32 NumDataBytes;
  UNUM8* pDataBytes;
} PDU_RESULT_DATA;

typedef struct {
  T_PDU_ERR_EVT ErrorCodeId;
  UNUM32 ExtraErrorInfoId;
} PDU_ERROR_DATA;

typedef struct {
  T_PDU_IT ItemType;
  UNUM32 hCop;
  void* pCoPTag;
  UNUM32 Timestamp;
  void* pData;
} PDU_EVENT_ITEM;

typedef struct {
  UNUM32 ModuleTypeId;
  UNUM32 hMod;
  CHAR8* pVendorModuleName;
  CHAR8* pVendorAdditionalInfo;
  T_PDU_STATUS ModuleStatus;
} PDU_MODULE_DATA;

typedef struct {
  T_PDU_IT ItemType;
  UNUM32 NumEntries;
  PDU_MODULE_DATA* pModuleData;
} PDU_MODULE_ITEM;

typedef struct {
  UNUM32 MVCI_Part1StandardVersion;
  UNUM32 MVCI_Part2StandardVersion;
  UNUM32 HwSerialNumber;
  CHAR8 HwName[64];
  UNUM32 HwVersion;
  UNUM32 HwDate;
  UNUM32 HwInterface;
  CHAR8 FwName[64];
  UNUM32 FwVersion;
  UNUM32 FwDate;
  CHAR8 VendorName[64];
  CHAR8 PDUApiSwName[64];
  UNUM32 PDUApiSwVersion;
  UNUM32 PDUApiSwDate;
} PDU_VERSION_DATA;

/* Resource id, status and conflict items: this module only passes them
 * through as pointers. */
typedef struct {
  UNUM32 hMod;
  UNUM32 NumIds;
  UNUM32* pResourceIdArray;
} PDU_RSC_ID_ITEM_DATA;

typedef struct {
  T_PDU_IT ItemType;
  UNUM32 NumModules;
  PDU_RSC_ID_ITEM_DATA* pResourceIdDataArray;
} PDU_RSC_ID_ITEM;

typedef struct {
  UNUM32 hMod;
  UNUM32 ResourceId;
  UNUM32 ResourceStatus;
} PDU_RSC_STATUS_DATA;

typedef struct {
  T_PDU_IT ItemType;
  UNUM32 NumEntries;
  PDU_RSC_STATUS_DATA* pResourceStatusData;
} PDU_RSC_STATUS_ITEM;

typedef struct {
  UNUM32 hMod;
  UNUM32 ResourceId;
} PDU_RSC_CONFLICT_DATA;

typedef struct {
  T_PDU_IT ItemType;
  UNUM32 NumEntries;
  PDU_RSC_CONFLICT_DATA* pRscConflictData;
} PDU_RSC_CONFLICT_ITEM;

typedef void(PDU_CALL* CALLBACKFNC)(T_PDU_EVT_DATA eventType, UNUM32 hMod,
                                    UNUM32 hCLL, void* pCllTag,
                                    void* pAPITag);

/* ---- the 29 functions ----------------------------------------------- */
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUConstruct(CHAR8* OptionStr, void* pAPITag);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestruct(void);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUIoCtl(UNUM32 hMod, UNUM32 hCLL,
                                         UNUM32 IoCtlCommandId,
                                         PDU_DATA_ITEM* pInputData,
                                         PDU_DATA_ITEM** pOutputData);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetVersion(UNUM32 hMod,
                                              PDU_VERSION_DATA* pVersionData);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetStatus(UNUM32 hMod, UNUM32 hCLL,
                                             UNUM32 hCoP,
                                             T_PDU_STATUS* pStatusCode,
                                             UNUM32* pTimestamp,
                                             UNUM32* pExtraInfo);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetLastError(UNUM32 hMod, UNUM32 hCLL,
                                                T_PDU_ERR_EVT* pErrorCode,
                                                UNUM32* phCoP,
                                                UNUM32* pTimestamp,
                                                UNUM32* pExtraErrorInfo);
PDU_EXPORT T_PDU_ERROR PDU_CALL
PDUGetResourceStatus(PDU_RSC_STATUS_ITEM* pResourceStatus);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUCreateComLogicalLink(
    UNUM32 hMod, PDU_RSC_DATA* pRscData, UNUM32 resourceId, void* pCllTag,
    UNUM32* phCLL, PDU_FLAG_DATA* pCllCreateFlag);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestroyComLogicalLink(UNUM32 hMod,
                                                         UNUM32 hCLL);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUConnect(UNUM32 hMod, UNUM32 hCLL);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDisconnect(UNUM32 hMod, UNUM32 hCLL);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDULockResource(UNUM32 hMod, UNUM32 hCLL,
                                                UNUM32 LockMask);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUUnlockResource(UNUM32 hMod, UNUM32 hCLL,
                                                  UNUM32 LockMask);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetComParam(UNUM32 hMod, UNUM32 hCLL,
                                               UNUM32 ParamId,
                                               PDU_PARAM_ITEM** pParamItem);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUSetComParam(UNUM32 hMod, UNUM32 hCLL,
                                               PDU_PARAM_ITEM* pParamItem);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUStartComPrimitive(
    UNUM32 hMod, UNUM32 hCLL, T_PDU_COPT CoPType, UNUM32 CoPDataSize,
    UNUM8* pCoPData, PDU_COP_CTRL_DATA* pCopCtrlData, void* pCoPTag,
    UNUM32* phCoP);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUCancelComPrimitive(UNUM32 hMod,
                                                      UNUM32 hCLL,
                                                      UNUM32 hCoP);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetEventItem(UNUM32 hMod, UNUM32 hCLL,
                                                PDU_EVENT_ITEM** pEventItem);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUDestroyItem(PDU_ITEM* pItem);
PDU_EXPORT T_PDU_ERROR PDU_CALL
PDURegisterEventCallback(UNUM32 hMod, UNUM32 hCLL,
                         CALLBACKFNC EventCallbackFunction);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetObjectId(T_PDU_OBJT pduObjectType,
                                               CHAR8* pShortname,
                                               UNUM32* pPduObjectId);
PDU_EXPORT T_PDU_ERROR PDU_CALL
PDUGetModuleIds(PDU_MODULE_ITEM** pModuleIdList);
PDU_EXPORT T_PDU_ERROR PDU_CALL
PDUGetResourceIds(UNUM32 hMod, PDU_RSC_DATA* pResourceIdData,
                  PDU_RSC_ID_ITEM** pResourceIdList);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetConflictingResources(
    UNUM32 ResourceId, PDU_MODULE_ITEM* pInputModuleList,
    PDU_RSC_CONFLICT_ITEM** pOutputConflictList);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetUniqueRespIdTable(
    UNUM32 hMod, UNUM32 hCLL,
    PDU_UNIQUE_RESP_ID_TABLE_ITEM** pUniqueRespIdTable);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUSetUniqueRespIdTable(
    UNUM32 hMod, UNUM32 hCLL,
    PDU_UNIQUE_RESP_ID_TABLE_ITEM* pUniqueRespIdTable);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUModuleConnect(UNUM32 hMod);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUModuleDisconnect(UNUM32 hMod);
PDU_EXPORT T_PDU_ERROR PDU_CALL PDUGetTimestamp(UNUM32 hMod,
                                                UNUM32* pTimestamp);

#ifdef __cplusplus
}
#endif

#endif /* PDU_API_H */
