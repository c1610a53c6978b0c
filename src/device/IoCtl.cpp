#include "device/IoCtl.h"

#include <random>

#include "device/DeviceCommands.h"
#include "log/PduLog.h"
#include "mdf/VciCodes.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace pdu::device {

namespace {

enum class IoCtlAction { kNone, kReadVbatt, kReadIgnition, kNotSupported };

IoCtlAction ActionOf(std::string_view name) {
  if (name == "PDU_IOCTL_READ_VBATT") return IoCtlAction::kReadVbatt;
  if (name == "PDU_IOCTL_READ_IGNITION_SENSE_STATE") return IoCtlAction::kReadIgnition;
  if (name == "PDU_IOCTL_GET_WLAN_STATUS" || name == "PDU_IOCTL_GET_SSIDS" ||
      name == "PDU_IOCTL_GET_ETH_SWITCH_STATE")
    return IoCtlAction::kNotSupported;
  return IoCtlAction::kNone;
}

// The item handed to the caller, allocated the way DestroyItem releases it.
PDU_DATA_ITEM* NewReadingItem() {
  auto* value = new uint32_t[1]{0};
  return new PDU_DATA_ITEM{PDU_IT_IO_UNUM32, value};
}

uint32_t& ItemValue(PDU_DATA_ITEM* item) { return static_cast<uint32_t*>(item->pData)[0]; }

// The reading's sub-code: its code in the VCI's I/O control table.
uint8_t SubCode(std::string_view name) { return static_cast<uint8_t>(mdf::GetVciCode(name)); }

T_PDU_ERROR ReadVbatt(uint32_t hMod, uint32_t hCLL, PDU_DATA_ITEM* item, uint32_t copIdle) {
  const uint32_t substitute = SubstituteBatteryVoltage(platform::ClockTicks());
  T_PDU_ERROR result = PDU_STATUS_NOERROR;
  uint32_t value = substitute;
  if (copIdle == 1) {
    uint32_t words[3] = {};
    uint32_t count = 0;
    if (!VciIoCtl(hMod, hCLL, SubCode("PDU_IOCTL_READ_VBATT"), kIoCtlVbattTimeoutMs, words, 3, count))
      return PDU_ERR_FCT_FAILED;
    result = words[0];
    // The answer names the item's type. An answer without the word leaves
    // the field as created, and so does any word but PDU_IT_IO_UNUM32: the
    // item is a PDU_DATA_ITEM holding one u32, and PDUDestroyItem releases
    // it by that type (a foreign type made it read past the item or leak
    // it).
    if (count > 1 && words[1] == PDU_IT_IO_UNUM32) {
      item->ItemType = words[1];
    } else if (count > 1) {
      log::LogMain("item type %08x of the answer ignored", words[1]);
    }
    value = count > 2 ? words[2] : 0;
  } else {
    item->ItemType = PDU_IT_IO_UNUM32;
  }
  ItemValue(item) = value;
  if (log::MainLogOn()) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    char hex[16] = {};
    log::HexDump(bytes, 4, hex, true);
    log::LogMain("data buffer = %s", hex);
    log::LogMain("voltage = %d mv", value);
  }
  return result;
}

T_PDU_ERROR ReadIgnition(uint32_t hMod, uint32_t hCLL, PDU_DATA_ITEM* item, uint32_t copIdle) {
  if (copIdle != 1) {
    ItemValue(item) = 1;
    return PDU_STATUS_NOERROR;
  }
  uint32_t words[2] = {};
  uint32_t count = 0;
  if (!VciIoCtl(hMod, hCLL, SubCode("PDU_IOCTL_READ_IGNITION_SENSE_STATE"),
                kIoCtlIgnitionTimeoutMs, words, 2, count))
    return PDU_ERR_FCT_FAILED;
  ItemValue(item) = count > 1 ? words[1] : 0;
  return words[0];
}

}  // namespace

uint32_t SubstituteBatteryVoltage(uint32_t seed) {
  // Any generator serves; what matters is the range and the coin that
  // chooses between adding and subtracting.
  std::minstd_rand gen(seed);
  const uint32_t r1 = static_cast<uint32_t>(gen());
  const uint32_t r2 = static_cast<uint32_t>(gen());
  return (r1 & 1u) != 0 ? 12345 + (r2 % 500) : 12345 - (r2 % 500);
}

T_PDU_ERROR IoCtlExecute(uint32_t hMod, uint32_t hCLL, std::string_view controlName,
                         PDU_DATA_ITEM** pOutputData, uint32_t copIdle) {
  const IoCtlAction action = ActionOf(controlName);
  switch (action) {
    case IoCtlAction::kNone:
      return PDU_STATUS_NOERROR;
    case IoCtlAction::kNotSupported:
      return PDU_ERR_ID_NOT_SUPPORTED;
    case IoCtlAction::kReadVbatt:
    case IoCtlAction::kReadIgnition:
      break;
  }
  if (pOutputData == nullptr) return PDU_ERR_INVALID_PARAMETERS;
  PDU_DATA_ITEM* item = NewReadingItem();
  *pOutputData = item;
  // A VCI that is gone is not asked, nor stood in for by the substitute
  // values: the application must learn that its interface has left.
  if (VciLost()) return PDU_ERR_COMM_PC_TO_VCI_FAILED;
  return action == IoCtlAction::kReadVbatt ? ReadVbatt(hMod, hCLL, item, copIdle)
                                           : ReadIgnition(hMod, hCLL, item, copIdle);
}

}  // namespace pdu::device
