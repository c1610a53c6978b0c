"""The C side of a D-PDU API library: structures, prototypes and values.

Structures use the platform's natural alignment, as ctypes lays them out by
default; pointers are native width, so on 64-bit systems a pointer after a
32-bit field has four bytes of padding in front of it. On 32-bit Windows the
functions use __stdcall (WinDLL), everywhere else the C convention (CDLL).
"""

import ctypes
import sys
from ctypes import POINTER, c_char, c_char_p, c_int32, c_uint8, c_uint32, c_void_p

UNUM8 = c_uint8
UNUM32 = c_uint32
SNUM32 = c_int32

# Values the client itself needs (the full name tables are in names.py).
PDU_STATUS_NOERROR = 0x00
PDU_ERR_EVENT_QUEUE_EMPTY = 0x71

PDU_IT_IO_UNUM32 = 0x1000
PDU_IT_PARAM = 0x1200
PDU_IT_RESULT = 0x1300
PDU_IT_STATUS = 0x1301
PDU_IT_ERROR = 0x1302
PDU_IT_INFO = 0x1303
PDU_IT_UNIQUE_RESP_ID_TABLE = 0x1700

PDU_OBJT_PROTOCOL = 0x8021
PDU_OBJT_BUSTYPE = 0x8022
PDU_OBJT_IO_CTRL = 0x8023
PDU_OBJT_COMPARAM = 0x8024
PDU_OBJT_PINTYPE = 0x8025
PDU_OBJT_RESOURCE = 0x8026

PDU_PT_UNUM8 = 0x101
PDU_PT_SNUM8 = 0x102
PDU_PT_UNUM16 = 0x103
PDU_PT_SNUM16 = 0x104
PDU_PT_UNUM32 = 0x105
PDU_PT_SNUM32 = 0x106
PDU_PT_BYTEFIELD = 0x107
PDU_PT_STRUCTFIELD = 0x108
PDU_PT_LONGFIELD = 0x109

PDU_PC_COM = 3
PDU_PC_UNIQUE_ID = 6

PDU_COPT_STARTCOMM = 0x8001
PDU_COPT_STOPCOMM = 0x8002
PDU_COPT_UPDATEPARAM = 0x8003
PDU_COPT_SENDRECV = 0x8004

PDU_COPST_IDLE = 0x8010
PDU_COPST_FINISHED = 0x8012
PDU_COPST_CANCELLED = 0x8013

PDU_HANDLE_UNDEF = 0xFFFFFFFF
PDU_ID_UNDEF = 0xFFFFFFFE


class PDU_ITEM(ctypes.Structure):
    _fields_ = [("ItemType", UNUM32)]


class PDU_DATA_ITEM(ctypes.Structure):
    _fields_ = [("ItemType", UNUM32), ("pData", c_void_p)]


class PDU_PIN_DATA(ctypes.Structure):
    _fields_ = [("DLCPinNumber", UNUM32), ("DLCPinTypeId", UNUM32)]


class PDU_RSC_DATA(ctypes.Structure):
    _fields_ = [("BusTypeId", UNUM32), ("ProtocolId", UNUM32), ("NumPinData", UNUM32),
                ("pDLCPinData", POINTER(PDU_PIN_DATA))]


class PDU_FLAG_DATA(ctypes.Structure):
    _fields_ = [("NumFlagBytes", UNUM32), ("pFlagData", POINTER(UNUM8))]


class PDU_PARAM_ITEM(ctypes.Structure):
    _fields_ = [("ItemType", UNUM32), ("ComParamId", UNUM32), ("ComParamDataType", UNUM32),
                ("ComParamClass", UNUM32), ("pComParamData", c_void_p)]


class PDU_PARAM_BYTEFIELD_DATA(ctypes.Structure):
    _fields_ = [("ParamMaxLen", UNUM32), ("ParamActLen", UNUM32), ("pDataArray", POINTER(UNUM8))]


class PDU_PARAM_LONGFIELD_DATA(ctypes.Structure):
    _fields_ = [("ParamMaxLen", UNUM32), ("ParamActLen", UNUM32), ("pDataArray", POINTER(UNUM32))]


class PDU_ECU_UNIQUE_RESP_DATA(ctypes.Structure):
    _fields_ = [("UniqueRespIdentifier", UNUM32), ("NumParamItems", UNUM32),
                ("pParams", POINTER(PDU_PARAM_ITEM))]


class PDU_UNIQUE_RESP_ID_TABLE_ITEM(ctypes.Structure):
    _fields_ = [("ItemType", UNUM32), ("NumEntries", UNUM32),
                ("pUniqueData", POINTER(PDU_ECU_UNIQUE_RESP_DATA))]


class PDU_EXP_RESP_DATA(ctypes.Structure):
    _fields_ = [("ResponseType", UNUM32), ("AcceptanceId", UNUM32), ("NumMaskPatternBytes", UNUM32),
                ("pMaskData", POINTER(UNUM8)), ("pPatternData", POINTER(UNUM8)),
                ("NumUniqueRespIds", UNUM32), ("pUniqueRespIds", POINTER(UNUM32))]


class PDU_COP_CTRL_DATA(ctypes.Structure):
    _fields_ = [("Time", UNUM32), ("NumSendCycles", SNUM32), ("NumReceiveCycles", SNUM32),
                ("TempParamUpdate", UNUM32), ("TxFlag", PDU_FLAG_DATA),
                ("NumPossibleExpectedResponses", UNUM32),
                ("pExpectedResponseArray", POINTER(PDU_EXP_RESP_DATA))]


class PDU_EXTRA_INFO(ctypes.Structure):
    _fields_ = [("NumHeaderBytes", UNUM32), ("NumFooterBytes", UNUM32),
                ("pHeaderBytes", POINTER(UNUM8)), ("pFooterBytes", POINTER(UNUM8))]


class PDU_RESULT_DATA(ctypes.Structure):
    _fields_ = [("RxFlag", PDU_FLAG_DATA), ("UniqueRespIdentifier", UNUM32), ("AcceptanceId", UNUM32),
                ("TimestampFlags", PDU_FLAG_DATA), ("TxMsgDoneTimestamp", UNUM32),
                ("StartMsgTimestamp", UNUM32), ("pExtraInfo", POINTER(PDU_EXTRA_INFO)),
                ("NumDataBytes", UNUM32), ("pDataBytes", POINTER(UNUM8))]


class PDU_ERROR_DATA(ctypes.Structure):
    _fields_ = [("ErrorCodeId", UNUM32), ("ExtraErrorInfoId", UNUM32)]


class PDU_EVENT_ITEM(ctypes.Structure):
    _fields_ = [("ItemType", UNUM32), ("hCop", UNUM32), ("pCoPTag", c_void_p), ("Timestamp", UNUM32),
                ("pData", c_void_p)]


class PDU_MODULE_DATA(ctypes.Structure):
    _fields_ = [("ModuleTypeId", UNUM32), ("hMod", UNUM32), ("pVendorModuleName", c_char_p),
                ("pVendorAdditionalInfo", c_char_p), ("ModuleStatus", UNUM32)]


class PDU_MODULE_ITEM(ctypes.Structure):
    _fields_ = [("ItemType", UNUM32), ("NumEntries", UNUM32), ("pModuleData", POINTER(PDU_MODULE_DATA))]


class PDU_VERSION_DATA(ctypes.Structure):
    _fields_ = [("MVCI_Part1StandardVersion", UNUM32), ("MVCI_Part2StandardVersion", UNUM32),
                ("HwSerialNumber", UNUM32), ("HwName", c_char * 64), ("HwVersion", UNUM32),
                ("HwDate", UNUM32), ("HwInterface", UNUM32), ("FwName", c_char * 64),
                ("FwVersion", UNUM32), ("FwDate", UNUM32), ("VendorName", c_char * 64),
                ("PDUApiSwName", c_char * 64), ("PDUApiSwVersion", UNUM32), ("PDUApiSwDate", UNUM32)]


if sys.platform == "win32":
    _FUNCTYPE = getattr(ctypes, "WINFUNCTYPE", ctypes.CFUNCTYPE)
else:
    _FUNCTYPE = ctypes.CFUNCTYPE

# void cb(T_PDU_EVT_DATA eventType, UNUM32 hMod, UNUM32 hCLL, void* pCllTag, void* pAPITag)
CALLBACKFNC = _FUNCTYPE(None, UNUM32, UNUM32, UNUM32, c_void_p, c_void_p)

P = POINTER
# name: argument types (every function returns T_PDU_ERROR).
PROTOTYPES = {
    "PDUConstruct": [c_char_p, c_void_p],
    "PDUDestruct": [],
    "PDUIoCtl": [UNUM32, UNUM32, UNUM32, P(PDU_DATA_ITEM), P(P(PDU_DATA_ITEM))],
    "PDUGetVersion": [UNUM32, P(PDU_VERSION_DATA)],
    "PDUGetStatus": [UNUM32, UNUM32, UNUM32, P(UNUM32), P(UNUM32), P(UNUM32)],
    "PDUGetLastError": [UNUM32, UNUM32, P(UNUM32), P(UNUM32), P(UNUM32), P(UNUM32)],
    "PDUGetResourceStatus": [c_void_p],
    "PDUCreateComLogicalLink": [UNUM32, P(PDU_RSC_DATA), UNUM32, c_void_p, P(UNUM32), P(PDU_FLAG_DATA)],
    "PDUDestroyComLogicalLink": [UNUM32, UNUM32],
    "PDUConnect": [UNUM32, UNUM32],
    "PDUDisconnect": [UNUM32, UNUM32],
    "PDULockResource": [UNUM32, UNUM32, UNUM32],
    "PDUUnlockResource": [UNUM32, UNUM32, UNUM32],
    "PDUGetComParam": [UNUM32, UNUM32, UNUM32, P(P(PDU_PARAM_ITEM))],
    "PDUSetComParam": [UNUM32, UNUM32, P(PDU_PARAM_ITEM)],
    "PDUStartComPrimitive": [UNUM32, UNUM32, UNUM32, UNUM32, P(UNUM8), P(PDU_COP_CTRL_DATA), c_void_p,
                             P(UNUM32)],
    "PDUCancelComPrimitive": [UNUM32, UNUM32, UNUM32],
    "PDUGetEventItem": [UNUM32, UNUM32, P(P(PDU_EVENT_ITEM))],
    "PDUDestroyItem": [c_void_p],
    "PDURegisterEventCallback": [UNUM32, UNUM32, CALLBACKFNC],
    "PDUGetObjectId": [UNUM32, c_char_p, P(UNUM32)],
    "PDUGetModuleIds": [P(P(PDU_MODULE_ITEM))],
    "PDUGetResourceIds": [UNUM32, P(PDU_RSC_DATA), c_void_p],
    "PDUGetConflictingResources": [UNUM32, c_void_p, c_void_p],
    "PDUGetUniqueRespIdTable": [UNUM32, UNUM32, P(P(PDU_UNIQUE_RESP_ID_TABLE_ITEM))],
    "PDUSetUniqueRespIdTable": [UNUM32, UNUM32, P(PDU_UNIQUE_RESP_ID_TABLE_ITEM)],
    "PDUModuleConnect": [UNUM32],
    "PDUModuleDisconnect": [UNUM32],
    "PDUGetTimestamp": [UNUM32, P(UNUM32)],
}


def load(path):
    """Loads the library at path and gives it the 29 prototypes.

    Returns (library, missing): functions the library does not export are
    listed in missing and left out."""
    if sys.platform == "win32" and ctypes.sizeof(c_void_p) == 4:
        lib = ctypes.WinDLL(path)
    else:
        lib = ctypes.CDLL(path)
    missing = []
    for name, args in PROTOTYPES.items():
        try:
            fn = getattr(lib, name)
        except AttributeError:
            missing.append(name)
            continue
        fn.argtypes = args
        fn.restype = UNUM32
    return lib, missing


# A null callback pointer (unregisters a link's callback).
_NO_CALLBACK = ctypes.cast(None, CALLBACKFNC)
