// The VCI's command bytes and channels as the wire carries them, written
// out here once for every test (the library has its own names for them; a
// test that used those could not notice a wrong byte).
#pragma once

#include <cstdint>

namespace pdu::test {

inline constexpr uint8_t kManagementChannel = 0x01;
inline constexpr uint8_t kVehicleChannel = 0x12;

inline constexpr uint8_t kCmdOpen = 0x01;
inline constexpr uint8_t kCmdClose = 0x02;
inline constexpr uint8_t kCmdIoCtl = 0x03;
inline constexpr uint8_t kCmdProbe = 0x05;
inline constexpr uint8_t kCmdSetLinkResource = 0x08;
inline constexpr uint8_t kCmdSetLinkParam = 0x0F;
inline constexpr uint8_t kCmdCop = 0x10;
inline constexpr uint8_t kCmdConnectLink = 0x1A;
inline constexpr uint8_t kCmdModuleConnect = 0x1B;
inline constexpr uint8_t kCmdVehicleData = 0x1E;

}  // namespace pdu::test
