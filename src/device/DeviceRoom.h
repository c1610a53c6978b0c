// What the device room keeps for the whole process, in one object: the
// published DeviceLink, the two frame counters, the last vehicle-data record
// (g_RxData) and the engine thread's buffers for reading one (kept so that
// the receive path does not allocate). The module state resets it in one
// place (ResetDeviceRoom, DeviceCommands.h); the counters survive
// PDUDestruct/PDUConstruct and are reset only for tools and tests.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/DeviceCommands.h"

namespace pdu::device {

class DeviceLink;

struct DeviceRoom {
  // Vehicle-data frames are read into this many bytes; 8 spare bytes take
  // the two words ReadVehicleData inserts.
  static constexpr uint32_t kVehicleBuffer = 5000;

  std::atomic<DeviceLink*> g_DeviceLink{nullptr};
  // Senders are serialised by the ApiLock, but the counters are atomics so
  // that a tool sending from two threads cannot tear them.
  std::atomic<uint16_t> g_wManagementFrameCounter{0};
  std::atomic<uint16_t> g_wVehicleFrameCounter{0};
  uint8_t g_RxData[kRxDataSize] = {};
  // ReadVehicleData's frame and its log text (the engine thread only).
  uint8_t vehicleFrame[kVehicleBuffer + 8] = {};
  char vehicleHex[3 * (kVehicleBuffer + 8) + 1] = {};
};

// The one DeviceRoom of the process.
DeviceRoom& Room();

}  // namespace pdu::device
