// The VCI's commands over the DeviceLink; the table is in DeviceCommands.h.
#include "device/DeviceCommands.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "device/DeviceLink.h"
#include "device/DeviceRoom.h"
#include "log/PduLog.h"
#include "mdf/ComParamValue.h"
#include "mdf/ObjectIds.h"
#include "mdf/VciCodes.h"
#include "platform/Platform.h"

namespace pdu::device {

namespace {

// Answer buffers of the commands.
constexpr uint32_t kSmallBuffer = 100;    // OPEN, CLOSE
constexpr uint32_t kCommandBuffer = 1000;
constexpr uint32_t kCopBuffer = 8192;
constexpr uint32_t kConnectBuffer = 2048;
constexpr uint32_t kVehicleBuffer = DeviceRoom::kVehicleBuffer;

// Late answers looked for before a command is sent (each a whole frame).
constexpr int kMaxLateAnswers = 8;

// The response-identification code of CPM_VWTP_PhysRespIdCon, whose value
// the TP2.0 form offsets by the link's channel id.
constexpr uint32_t kPhysRespIdConCode = 0xD0;

// Builds a payload of little-endian words and bytes in a fixed buffer and
// remembers when something did not fit.
class Payload {
 public:
  Payload(uint8_t* buffer, uint32_t capacity) : buf_(buffer), cap_(capacity) {}

  void Word(uint32_t w) {
    if (!Room(4)) return;
    for (int i = 0; i < 4; ++i) buf_[len_++] = static_cast<uint8_t>(w >> (8 * i));
  }
  void Byte(uint8_t b) {
    if (Room(1)) buf_[len_++] = b;
  }
  void Bytes(const uint8_t* p, uint32_t n) {
    if (n == 0 || !Room(n)) return;
    if (p != nullptr) {
      std::memcpy(buf_ + len_, p, n);
    } else {
      std::memset(buf_ + len_, 0, n);
    }
    len_ += n;
  }
  bool Overflowed() const { return overflow_; }
  uint32_t Length() const { return len_; }

 private:
  bool Room(uint64_t n) {
    if (overflow_ || len_ + n > cap_) {
      overflow_ = true;
      return false;
    }
    return true;
  }
  uint8_t* buf_;
  uint32_t cap_;
  uint32_t len_ = 0;
  bool overflow_ = false;
};

uint32_t ReadWord(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void WriteWord(uint8_t* p, uint32_t w) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(w >> (8 * i));
}

// Runs a command whose result is "0x11 on failure, else the status".
T_PDU_ERROR StatusOrCommFailed(uint8_t command, uint8_t* buffer, const Payload& payload,
                               uint32_t capacity, uint32_t timeoutMs) {
  if (payload.Overflowed()) {
    log::LogMain("command %02X not sent: payload exceeds %u bytes", command, capacity);
    return PDU_ERR_COMM_PC_TO_VCI_FAILED;
  }
  VciAnswer answer;
  if (VciTransact(command, buffer, payload.Length(), capacity, timeoutMs, answer) !=
      TransactResult::kAnswered)
    return PDU_ERR_COMM_PC_TO_VCI_FAILED;
  return answer.status;
}

T_PDU_ERROR ConnectLink(uint32_t hMod, uint32_t hCLL, const PDU_UNIQUE_RESP_ID_TABLE_ITEM* table,
                        bool tp20, uint32_t tp20ChannelId) {
  uint8_t buffer[kConnectBuffer] = {};
  Payload p(buffer, sizeof buffer);
  const uint32_t entries = table != nullptr ? table->NumEntries : 0;
  const PDU_ECU_UNIQUE_RESP_DATA* data =
      (table != nullptr && entries > 0) ? table->pUniqueData : nullptr;

  // Codes of one entry's ComParams, looked up once per item.
  auto codeOf = [](const PDU_PARAM_ITEM& item) {
    return mdf::GetUniqueIdComParamCode(mdf::ObjectIdToShortName(item.ComParamId, "COMPARAM"));
  };
  uint32_t firstCount = 0;
  if (data != nullptr) {
    for (uint32_t i = 0; i < data[0].NumParamItems; ++i) {
      if (data[0].pParams != nullptr && codeOf(data[0].pParams[i]) < mdf::kNoUniqueIdCode)
        ++firstCount;
    }
  }
  p.Word(hMod);
  p.Word(hCLL);
  p.Word(table != nullptr ? table->ItemType : 0);
  p.Word(entries);
  p.Word(data != nullptr ? data[0].UniqueRespIdentifier : 0);
  p.Word(firstCount);
  for (uint32_t e = 0; data != nullptr && e < entries; ++e) {
    const PDU_ECU_UNIQUE_RESP_DATA& entry = data[e];
    for (uint32_t i = 0; entry.pParams != nullptr && i < entry.NumParamItems; ++i) {
      const PDU_PARAM_ITEM& item = entry.pParams[i];
      const uint32_t code = codeOf(item);
      if (code >= mdf::kNoUniqueIdCode) continue;
      uint32_t value = mdf::ComParamValueAsU32(item.pComParamData, item.ComParamDataType);
      if (tp20 && code == kPhysRespIdConCode) {
        value += tp20ChannelId;
        log::LogMain("tp20 phyconfig = %08x", value);
      }
      p.Byte(static_cast<uint8_t>(code));
      p.Word(value);
    }
  }
  if (p.Overflowed()) {
    log::LogMain("command %02X not sent: payload exceeds %u bytes", VCI_CMD_CONNECT_LINK,
                 kConnectBuffer);
    return PDU_ERR_COMM_PC_TO_VCI_FAILED;
  }
  VciAnswer answer;
  return VciTransact(VCI_CMD_CONNECT_LINK, buffer, p.Length(), sizeof buffer,
                     kConnectLinkTimeoutMs, answer) == TransactResult::kAnswered
             ? PDU_STATUS_NOERROR
             : PDU_ERR_COMM_PC_TO_VCI_FAILED;
}

}  // namespace

TransactResult VciTransact(uint8_t command, uint8_t* buffer, uint32_t length, uint32_t capacity,
                           uint32_t timeoutMs, VciAnswer& answer, bool clearBuffer) {
  answer = VciAnswer{};
  DeviceLink* link = GetDeviceLink();
  if (link == nullptr) return TransactResult::kNoDevice;
  // An answer that came after its command gave up waits in the answer
  // queue; taken now it would pass for this command's answer, and every
  // later command would read its predecessor's. Drop it and say so. (The
  // receive with no wait costs nothing when the queue is empty.)
  for (int i = 0; i < kMaxLateAnswers; ++i) {
    uint8_t late[16];
    const uint32_t n = link->ReceiveAnswer(late, sizeof late, 0);
    if (n == 0) break;
    log::LogMain("late answer dropped before command %02X: %u bytes, status %u", command, n,
                 n >= 4 ? ReadWord(late) : 0);
  }
  if (link->SendFrame(command, buffer, length) == 0) return TransactResult::kNotSent;
  if (clearBuffer) std::memset(buffer, 0, capacity);
  const uint32_t got = link->ReceiveAnswer(buffer, capacity, timeoutMs);
  if (got < 4) return TransactResult::kNoAnswer;
  answer.status = ReadWord(buffer);
  answer.length = got;
  return TransactResult::kAnswered;
}

T_PDU_ERROR VciOpen(uint32_t* vciWord) {
  uint8_t buffer[kSmallBuffer] = {};
  VciAnswer answer;
  if (VciTransact(VCI_CMD_OPEN, buffer, 0, sizeof buffer, kOpenTimeoutMs, answer, true) !=
      TransactResult::kAnswered)
    return kOpenNoAnswer;
  log::LogMain("ret = %d", answer.status);
  GetDeviceLink()->DiscardVehicleData();
  platform::DebugOutput("Open OK");
  if (answer.status == 0 && vciWord != nullptr) *vciWord = ReadWord(buffer + 4);
  return answer.status;
}

T_PDU_ERROR VciClose() {
  uint8_t buffer[kSmallBuffer] = {};
  VciAnswer answer;
  if (VciTransact(VCI_CMD_CLOSE, buffer, 4, sizeof buffer, kCloseTimeoutMs, answer, true) !=
      TransactResult::kAnswered)
    return PDU_ERR_COMM_PC_TO_VCI_FAILED;
  GetDeviceLink()->ClosePort();
  platform::DebugOutput("Close OK");
  return answer.status;
}

bool VciIoCtl(uint32_t hMod, uint32_t hCLL, uint8_t subCode, uint32_t timeoutMs, uint32_t* words,
              uint32_t maxWords, uint32_t& wordCount) {
  wordCount = 0;
  uint8_t buffer[kCommandBuffer] = {};
  Payload p(buffer, sizeof buffer);
  p.Word(hMod);
  p.Word(hCLL);
  p.Byte(subCode);
  VciAnswer answer;
  if (VciTransact(VCI_CMD_IOCTL, buffer, p.Length(), sizeof buffer, timeoutMs, answer) !=
      TransactResult::kAnswered)
    return false;
  wordCount = std::min(answer.length / 4, maxWords);
  for (uint32_t i = 0; i < wordCount; ++i) words[i] = ReadWord(buffer + 4 * i);
  return true;
}

T_PDU_ERROR VciSetLinkResource(uint32_t hMod, uint32_t hCLL, const PDU_RSC_DATA& rsc,
                               const PDU_FLAG_DATA* flags) {
  uint8_t buffer[kCommandBuffer] = {};
  Payload p(buffer, sizeof buffer);
  p.Word(hMod);
  p.Word(rsc.BusTypeId);
  p.Word(rsc.ProtocolId);
  const uint32_t pins = rsc.pDLCPinData != nullptr ? rsc.NumPinData : 0;
  p.Word(pins);
  for (uint32_t i = 0; i < pins && !p.Overflowed(); ++i) {
    p.Word(rsc.pDLCPinData[i].DLCPinNumber);
    p.Word(rsc.pDLCPinData[i].DLCPinTypeId);
  }
  p.Word(0);
  p.Word(hCLL);
  const uint32_t flagBytes = (flags != nullptr && flags->pFlagData != nullptr) ? flags->NumFlagBytes : 0;
  p.Word(flagBytes);
  if (flagBytes > 0) p.Bytes(flags->pFlagData, flagBytes);
  return StatusOrCommFailed(VCI_CMD_SET_LINK_RESOURCE, buffer, p, sizeof buffer,
                            kSetLinkResourceTimeoutMs);
}

T_PDU_ERROR VciDestroyLink(uint32_t hMod, uint32_t hCLL) {
  uint8_t buffer[kCommandBuffer] = {};
  Payload p(buffer, sizeof buffer);
  p.Word(hMod);
  p.Word(hCLL);
  return StatusOrCommFailed(VCI_CMD_DESTROY_LINK, buffer, p, sizeof buffer, kDestroyLinkTimeoutMs);
}

T_PDU_ERROR VciDisconnectLink() {
  uint8_t buffer[kCommandBuffer] = {};
  Payload p(buffer, sizeof buffer);
  return StatusOrCommFailed(VCI_CMD_DISCONNECT_LINK, buffer, p, sizeof buffer,
                            kDisconnectLinkTimeoutMs);
}

T_PDU_ERROR VciSetLinkParam(uint32_t hMod, uint32_t hCLL, uint32_t comParamCode,
                            const PDU_PARAM_ITEM& item) {
  uint8_t buffer[kCommandBuffer] = {};
  Payload p(buffer, sizeof buffer);
  p.Word(hMod);
  p.Word(hCLL);
  p.Word(comParamCode);
  p.Word(item.ComParamDataType);
  if (item.ComParamDataType == PDU_PT_BYTEFIELD) {
    const auto* field = static_cast<const PDU_PARAM_BYTEFIELD_DATA*>(item.pComParamData);
    const uint32_t maxLen = field != nullptr ? field->ParamMaxLen : 0;
    const uint32_t actLen = field != nullptr ? field->ParamActLen : 0;
    p.Byte(static_cast<uint8_t>(maxLen & 0xFF));
    p.Byte(static_cast<uint8_t>(actLen & 0xFF));
    p.Bytes(field != nullptr ? field->pDataArray : nullptr, actLen);
  } else {
    p.Word(mdf::ComParamValueAsU32(item.pComParamData, item.ComParamDataType));
  }
  return StatusOrCommFailed(VCI_CMD_SET_LINK_PARAM, buffer, p, sizeof buffer,
                            kSetLinkParamTimeoutMs);
}

T_PDU_ERROR VciCop(uint32_t hMod, uint32_t hCLL, uint32_t copType, const uint8_t* request,
                   uint32_t requestLength, const PDU_COP_CTRL_DATA* ctrl) {
  uint8_t buffer[kCopBuffer] = {};
  Payload p(buffer, sizeof buffer);
  p.Word(hMod);
  p.Word(hCLL);
  p.Word(copType);
  p.Word(requestLength);
  p.Bytes(request, requestLength);
  p.Word(ctrl != nullptr ? static_cast<uint32_t>(ctrl->NumSendCycles) : 0);
  p.Word(ctrl != nullptr ? static_cast<uint32_t>(ctrl->NumReceiveCycles) : 0);
  const uint32_t flagBytes =
      (ctrl != nullptr && ctrl->TxFlag.pFlagData != nullptr) ? ctrl->TxFlag.NumFlagBytes : 0;
  p.Word(flagBytes);
  if (flagBytes > 0) p.Bytes(ctrl->TxFlag.pFlagData, flagBytes);
  return StatusOrCommFailed(VCI_CMD_COP, buffer, p, sizeof buffer, kCopTimeoutMs);
}

T_PDU_ERROR VciConnectLink(uint32_t hMod, uint32_t hCLL, const PDU_UNIQUE_RESP_ID_TABLE_ITEM* table) {
  return ConnectLink(hMod, hCLL, table, false, 0);
}

T_PDU_ERROR VciConnectLinkTp20(uint32_t hMod, uint32_t hCLL,
                               const PDU_UNIQUE_RESP_ID_TABLE_ITEM* table, uint32_t tp20ChannelId) {
  return ConnectLink(hMod, hCLL, table, true, tp20ChannelId);
}

namespace {
// MODULE_CONNECT and MODULE_DISCONNECT: the module handle, the status back.
T_PDU_ERROR ModuleCommand(uint8_t command, uint32_t hMod, uint32_t timeoutMs) {
  uint8_t buffer[kCommandBuffer] = {};
  Payload p(buffer, sizeof buffer);
  p.Word(hMod);
  return StatusOrCommFailed(command, buffer, p, sizeof buffer, timeoutMs);
}
}  // namespace

T_PDU_ERROR VciModuleConnect(uint32_t hMod) {
  return ModuleCommand(VCI_CMD_MODULE_CONNECT, hMod, kModuleConnectTimeoutMs);
}

T_PDU_ERROR VciModuleDisconnect(uint32_t hMod) {
  return ModuleCommand(VCI_CMD_MODULE_DISCONNECT, hMod, kModuleDisconnectTimeoutMs);
}

void AbortVehicleDataWaits() {
  if (DeviceLink* link = GetDeviceLink()) link->StopVehicleDataWaits();
}

void ResumeVehicleDataWaits() {
  if (DeviceLink* link = GetDeviceLink()) link->ResumeVehicleDataWaits();
}

bool VehicleDataWaitsAborted() {
  DeviceLink* link = GetDeviceLink();
  return link != nullptr && link->VehicleDataStopped();
}

bool VciLost() {
  DeviceLink* link = GetDeviceLink();
  return link != nullptr && link->Lost();
}

uint32_t ReadVehicleData(uint32_t timeoutMs, uint32_t& recordLength) {
  // Only the engine thread reads vehicle data, into the room's buffers.
  uint8_t* const s_byData = Room().vehicleFrame;
  char* const s_szHex = Room().vehicleHex;
  recordLength = 0;
  std::memset(s_byData, 0, sizeof Room().vehicleFrame);
  DeviceLink* link = GetDeviceLink();
  const uint32_t n =
      link != nullptr ? link->ReceiveVehicleData(s_byData, kVehicleBuffer, timeoutMs + kVehicleDataExtraMs) : 0;
  if (n < 12) {
    // Nothing came (or a frame without the three leading words).
    log::LogMain("ReadData failed!");
    return kNoVehicleData;
  }
  // status, word, UniqueRespIdentifier | 0, 0 | NumDataBytes, message
  std::memmove(s_byData + 20, s_byData + 12, n - 12);
  WriteWord(s_byData + 12, 0);
  WriteWord(s_byData + 16, 0);
  const uint32_t total = n + 8;
  if (log::MainLogOn()) {
    s_szHex[0] = '\0';
    log::HexDump(s_byData, total, s_szHex, true);
    log::LogMain("modify data = %s", s_szHex);
  }
  log::LogMain("recv len = %d", total);
  const uint32_t record = std::min<uint32_t>(total - 4, kRxDataSize);
  std::memcpy(Room().g_RxData, s_byData + 4, record);
  recordLength = record;
  log::LogMain("recv end");
  return ReadWord(s_byData);
}

const uint8_t* RxData() { return Room().g_RxData; }

void ClearRxData() { std::memset(Room().g_RxData, 0, sizeof Room().g_RxData); }

void ResetDeviceRoom() {
  ClearRxData();
  ResetFrameCounters();
  SetDeviceLink(nullptr);
}

}  // namespace pdu::device
