// The VCI's command set, one function per command, over the one
// DeviceLink (g_DeviceLink).
//
// A command is one vehicle-channel frame with a payload of little-endian
// 32-bit words (and a few bytes), answered by one vehicle-channel frame
// whose data starts with a 32-bit status: a T_PDU_ERROR of the VCI, 0 for
// success. Each function fills its payload, runs VciTransact with the
// command's timeout and buffer size, and maps the outcome:
//
//   byte  command                  timeout   buffer  result
//   0x01  VciOpen                  10000 ms   100    7 when not sent / no answer, else status
//   0x02  VciClose                  1000 ms   100    0x11 on failure; on an answer ClosePort, status
//   0x03  VciIoCtl                500/100 ms 1000    see IoCtlExecute
//   0x05  PROBE (OpenPort)          1100 ms  1280    any answer marks the port
//   0x08  VciSetLinkResource         200 ms  1000    0x11 on failure, else status
//   0x09  VciDestroyLink             100 ms  1000    0x11 on failure, else status
//   0x0B  VciDisconnectLink          100 ms  1000    0x11 on failure, else status
//   0x0F  VciSetLinkParam            150 ms  1000    0x11 on failure, else status
//   0x10  VciCop                    1500 ms  8192    0x11 on failure, else status
//   0x1A  VciConnectLink(Tp20)       100 ms  2048    0 on any answer, else 0x11
//   0x1B  VciModuleConnect           100 ms  1000    0x11 on failure, else status
//   0x1C  VciModuleDisconnect        100 ms  1000    0x11 on failure, else status
//   0x1E  vehicle data (ReadVehicleData)     5000    status word, 7 when none came
//
// "Failure" is: no DeviceLink (nothing is sent), the frame could not be
// written, no answer within the timeout, or an answer shorter than the
// 4-byte status. A payload that does not fit the command's buffer is not
// sent either (failure, with a log line).
//
// Callers: every command except ReadVehicleData runs under the ApiLock (the
// engine takes it around VciCop; VciOpen runs inside PDUConstruct), so at
// most one command waits for an answer at a time. ReadVehicleData runs on
// the engine thread outside the ApiLock. Nothing here takes a lock of the
// API or the engine.
#pragma once

#include <cstdint>

#include "device/DeviceFrame.h"
#include "pdu_api.h"

namespace pdu::device {

// Command timeouts in milliseconds.
inline constexpr uint32_t kOpenTimeoutMs = 10000;
inline constexpr uint32_t kCloseTimeoutMs = 1000;
inline constexpr uint32_t kIoCtlVbattTimeoutMs = 500;
inline constexpr uint32_t kIoCtlIgnitionTimeoutMs = 100;
inline constexpr uint32_t kSetLinkResourceTimeoutMs = 200;
inline constexpr uint32_t kDestroyLinkTimeoutMs = 100;
inline constexpr uint32_t kDisconnectLinkTimeoutMs = 100;
inline constexpr uint32_t kSetLinkParamTimeoutMs = 150;
inline constexpr uint32_t kCopTimeoutMs = 1500;
inline constexpr uint32_t kConnectLinkTimeoutMs = 100;
inline constexpr uint32_t kModuleConnectTimeoutMs = 100;
inline constexpr uint32_t kModuleDisconnectTimeoutMs = 100;
// ReadVehicleData waits this much longer than its caller asks.
inline constexpr uint32_t kVehicleDataExtraMs = 30;

// Result of VciOpen when nothing was sent or no answer came.
inline constexpr T_PDU_ERROR kOpenNoAnswer = 7;
// Result of ReadVehicleData when no vehicle-data frame came.
inline constexpr uint32_t kNoVehicleData = 7;

// Outcome of one exchange.
enum class TransactResult {
  kNoDevice,  // g_DeviceLink is null: nothing was sent
  kNotSent,   // the frame could not be built or written
  kNoAnswer,  // no answer within the timeout, or one shorter than 4 bytes
  kAnswered,  // status and length are valid
};

struct VciAnswer {
  uint32_t status = 0;  // first word of the answer
  uint32_t length = 0;  // answer data bytes now at the start of the buffer
};

// Sends command with buffer[0, length) and waits timeoutMs for the answer,
// whose data then overwrites the start of buffer (cut to capacity). With
// clearBuffer the whole buffer is zeroed between sending and waiting.
TransactResult VciTransact(uint8_t command, uint8_t* buffer, uint32_t length, uint32_t capacity,
                           uint32_t timeoutMs, VciAnswer& answer, bool clearBuffer = false);

// 0x01, no payload. When the status is 0 and vciWord is not null, the
// answer's second word is stored there. Logs "ret = %d" with the status.
// On any answer the vehicle data received before it is dropped: it
// belongs to an earlier session (a client that died mid-exchange) and must
// not reach this session's ComPrimitives.
T_PDU_ERROR VciOpen(uint32_t* vciWord = nullptr);

// 0x02, one word 0. On an answer, runs g_DeviceLink->ClosePort() before
// returning the status; on failure the port is left for the caller to
// close.
T_PDU_ERROR VciClose();

// 0x03: hMod, hCLL, one sub-code byte (the control's VCI code). True when
// an answer came: its data (status first) is copied to words, at most
// maxWords words, and wordCount tells how many whole words it held.
bool VciIoCtl(uint32_t hMod, uint32_t hCLL, uint8_t subCode, uint32_t timeoutMs, uint32_t* words,
              uint32_t maxWords, uint32_t& wordCount);

// 0x08. rsc carries the VCI codes of its bus type and protocol in
// BusTypeId and ProtocolId (the caller has replaced the object ids), and
// its pins as the link holds them; flags are the link's creation flag
// bytes (null: none). Payload: hMod, bus type code, protocol code, n,
// n x (DLCPinNumber, DLCPinTypeId), 0, hCLL, m, m flag bytes.
T_PDU_ERROR VciSetLinkResource(uint32_t hMod, uint32_t hCLL, const PDU_RSC_DATA& rsc,
                               const PDU_FLAG_DATA* flags);

// 0x09: hMod, hCLL.
T_PDU_ERROR VciDestroyLink(uint32_t hMod, uint32_t hCLL);

// 0x0B, no payload.
T_PDU_ERROR VciDisconnectLink();

// 0x0F: hMod, hCLL, the ComParam's VCI code, its data type, then for a
// PDU_PT_BYTEFIELD the low bytes of MaxLen and ActLen and ActLen data bytes
// (18 + ActLen bytes), for any other type the value as one word (20 bytes).
T_PDU_ERROR VciSetLinkParam(uint32_t hMod, uint32_t hCLL, uint32_t comParamCode,
                            const PDU_PARAM_ITEM& item);

// 0x10: hMod, hCLL, the ComPrimitive type, r, r request bytes,
// NumSendCycles, NumReceiveCycles, e, e TxFlag bytes (ctrl null: 0, 0, 0).
T_PDU_ERROR VciCop(uint32_t hMod, uint32_t hCLL, uint32_t copType, const uint8_t* request,
                   uint32_t requestLength, const PDU_COP_CTRL_DATA* ctrl);

// 0x1A: hMod, hCLL, ItemType, NumEntries, UniqueRespIdentifier of the first
// entry, k (the first entry's ComParams that have a response-identification
// code), then for every entry and every such ComParam: code byte + value
// word. Codes come from the ComParam's short name in the module description
// (mdf::GetUniqueIdComParamCode); other ComParams are skipped. The answer's
// status is not read: 0 when any answer came. table null sends an empty
// table.
T_PDU_ERROR VciConnectLink(uint32_t hMod, uint32_t hCLL, const PDU_UNIQUE_RESP_ID_TABLE_ITEM* table);
// The TP2.0 form: CPM_VWTP_PhysRespIdCon goes out as its value plus the
// link's channel id (logged as "tp20 phyconfig = %08x").
T_PDU_ERROR VciConnectLinkTp20(uint32_t hMod, uint32_t hCLL,
                               const PDU_UNIQUE_RESP_ID_TABLE_ITEM* table, uint32_t tp20ChannelId);

// 0x1B / 0x1C: hMod.
T_PDU_ERROR VciModuleConnect(uint32_t hMod);
T_PDU_ERROR VciModuleDisconnect(uint32_t hMod);

// ---- vehicle data -------------------------------------------------------------

// ---- stopping and a lost VCI ------------------------------------------------

// The engine's stop: every wait for vehicle data (ReadVehicleData) of the
// module's link ends at once and so does every later one, until
// ResumeVehicleDataWaits; command answers are still received. Called by the
// module's owner when it stops (and starts) the engine thread; any thread.
void AbortVehicleDataWaits();
void ResumeVehicleDataWaits();
// True while the module's vehicle-data waits are stopped (also during
// teardown): an execution that sees it ends.
bool VehicleDataWaitsAborted();
// True when the module's VCI is lost (DeviceLink::MarkLost): every command
// fails at once (0x11) and every wait for vehicle data ends at once.
bool VciLost();

// The record ReadVehicleData leaves in the receive data (little-endian words):
//
//   offset  content
//   0       word passed on from the VCI uninterpreted
//   4       UniqueRespIdentifier
//   8       receive flag word, 0
//   12      status bits, 0
//   16      NumDataBytes
//   20      the NumDataBytes message bytes
//
// The frame from the VCI carries status, word, UniqueRespIdentifier,
// NumDataBytes, message: the record drops the status and inserts the two
// zero words, so it is 4 bytes longer than the frame's data.
struct VehicleDataRecord {
  uint32_t Word;
  uint32_t UniqueRespIdentifier;
  uint32_t RxFlag;
  uint32_t StatusBits;
  uint32_t NumDataBytes;
};
inline constexpr uint32_t kVehicleDataRecordHeader = 20;
static_assert(sizeof(VehicleDataRecord) == kVehicleDataRecordHeader);

// The last VehicleDataRecord (kRxDataSize bytes). Written by
// ReadVehicleData on the engine thread, read by the link's handler on the
// same thread; cleared by the engine before each execution waits.
inline constexpr uint32_t kRxDataSize = 4096;
const uint8_t* RxData();
void ClearRxData();

// Returns what the device room keeps for the whole process to its state
// at load: the receive data, both frame counters, no published DeviceLink.
// Only while no API call runs and no DeviceLink exists (tests, between
// two tests of one process).
void ResetDeviceRoom();

// Waits timeoutMs + 30 ms for one vehicle-data frame and places its record
// in the receive data (cut to 4096 bytes; recordLength tells how many bytes). The
// result is the frame's status word, or 7 ("ReadData failed!") when no
// frame came, there is no DeviceLink, or the frame is shorter than the
// three leading words.
uint32_t ReadVehicleData(uint32_t timeoutMs, uint32_t& recordLength);

}  // namespace pdu::device
