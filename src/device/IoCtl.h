// I/O control: the work behind PDUIoCtl, chosen by the IO_CTRL object's
// short name.
//
// Two controls ask the VCI for a reading (VCI_CMD_IOCTL):
//   PDU_IOCTL_READ_VBATT                 sub-code 0x06, 500 ms; answer: status,
//                                        item type, millivolts
//   PDU_IOCTL_READ_IGNITION_SENSE_STATE  sub-code 0x11, 100 ms; answer: status,
//                                        state
// Three controls of network-attached interfaces answer
// PDU_ERR_ID_NOT_SUPPORTED (PDU_IOCTL_GET_WLAN_STATUS, _GET_SSIDS,
// _GET_ETH_SWITCH_STATE); every other name, known or not, is accepted and
// does nothing. pInputData is never read.
//
// A reading asks the VCI only while the engine is idle (copIdle == 1, the
// engine's g_CopIdle), so that it never interleaves with the request and
// answers of a running ComPrimitive; while the engine is busy it answers at
// once with a substitute (battery 11846..12844 mV, ignition on).
#pragma once

#include <cstdint>
#include <string_view>

#include "pdu_api.h"

namespace pdu::device {

// Runs the control named controlName. For the two readings a new
// PDU_DATA_ITEM (PDU_IT_IO_UNUM32, pData = new uint32_t[1], released by the
// engine's DestroyItem) is stored in *pOutputData before the VCI is asked,
// so the caller gets it also when the reading fails (value 0,
// PDU_ERR_FCT_FAILED: no DeviceLink, not sent, no answer). A lost VCI
// (DeviceLink::MarkLost) answers PDU_ERR_COMM_PC_TO_VCI_FAILED at once,
// also while the engine is busy. A reading with a null pOutputData answers
// PDU_ERR_INVALID_PARAMETERS and sends nothing.
// Runs on the caller's thread under the ApiLock.
T_PDU_ERROR IoCtlExecute(uint32_t hMod, uint32_t hCLL, std::string_view controlName,
                         PDU_DATA_ITEM** pOutputData, uint32_t copIdle);

// The substitute battery voltage (millivolts, 11846..12844) for a seed.
uint32_t SubstituteBatteryVoltage(uint32_t seed);

}  // namespace pdu::device
