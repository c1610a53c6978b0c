// The VCI's side of every command: what the interface does with the frames
// the library sends, and which frames it sends back.
//
// Each command frame gets one answer frame on the same channel whose data
// begin with a 32-bit status (PROBE: any data). COP additionally starts the
// simulated bus traffic: the request goes to the ECUs the link addresses,
// and every ECU response comes back later as a vehicle-data frame (0x1E):
//
//   status u32 | timestamp u32 (VCI milliseconds) | UniqueRespIdentifier u32
//   | NumDataBytes u32 | message
//
// Per link (keyed by hCLL) the device keeps what the library configured:
// the resource (bus and protocol codes, pins, creation flags), every
// ComParam by its VCI code, and the unique response identifier table. Those
// decide where a request goes and how each response is labelled.
//
// The protocol code selects a family (docs/vcisim.md has the table). Two
// request layouts reach the VCI: the ISO 15765 and TP2.0 handlers put a
// 4-byte identifier (u32 LE) in front; every other handler passes the
// application's bytes through and the library appends four zero bytes,
// which the device drops. In front of an answer the device puts what the
// family's handler expects: the CAN response id (ISO 15765), the
// connection id (TP2.0 and TP1.6, whose handlers strip four bytes), the
// 3-byte OBD header (OBD ECUs on ISO 9141 and J1850), or nothing. J1939
// and raw CAN carry whole frames (identifier word + data) both ways.
//
// STARTCOMM and STOPCOMM: fast init (the ECU answers 81/82), 5-baud init
// (55 and the key bytes), TP2.0/TP1.6 channel set-up (00 D0 ...) and
// close (A8), or an empty vehicle-data frame where the bus sets nothing
// up. No ECU at the target: silence.
//
// Background traffic (the scenario's "traffic"): while a ComPrimitive on a
// link of the traffic's family listens (a raw CAN SENDRECV with
// NumReceiveCycles -1 or above 1), the VCI streams the bus's frames to it
// through the core (VciCore::StartStreams) until the next COP, a
// DISCONNECT_LINK, the link's DESTROY_LINK, an OPEN or a CLOSE.
// VciRawCan.cpp has the raw CAN side.
//
// Called on the simulator's only thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Bytes.h"
#include "Scenario.h"
#include "SimEcu.h"
#include "VciCore.h"

namespace vcisim {

// The device's frames (VciCore.h): delayMs counts from the arrival of the
// frame they answer; command 0 carries only a note for the trace.

// What the device remembers of one ComLogicalLink.
struct SimLink {
  uint32_t hMod = 0;
  uint32_t hCLL = 0;
  uint32_t busCode = 0;
  uint32_t protocolCode = 0;
  std::vector<std::pair<uint32_t, uint32_t>> pins;  // pin number, pin type code
  Bytes createFlags;
  std::map<uint32_t, uint32_t> params;   // ComParam VCI code -> value
  std::map<uint32_t, Bytes> byteParams;  // byte-field ComParams
  struct UniqueEntry {
    uint32_t uniqueId = 0;
    std::map<uint32_t, uint32_t> params;  // unique-id ComParam code -> value
  };
  std::vector<UniqueEntry> table;
  bool connected = false;
};

class VciDevice {
 public:
  explicit VciDevice(const Scenario& scenario);

  // Answers one valid frame from the library. nowMs is the device clock,
  // used for the vehicle-data timestamps.
  std::vector<OutFrame> OnFrame(uint8_t channel, uint8_t command, const Bytes& data, uint32_t nowMs);

  const std::map<uint32_t, SimLink>& Links() const { return links_; }
  // The core that carries the background traffic; without one the
  // scenario's traffic is not sent.
  void AttachCore(VciCore* core) { core_ = core; }

 private:
  enum class Family { kCan, kTp20, kTp16, kKLine14230, kKLine9141, kJ1850, kJ1939, kJ1708, kSci, kRawCan };

  std::vector<OutFrame> Cop(const Bytes& data, uint32_t nowMs);
  void ConnectLink(SimLink& link, Reader& r);
  Family FamilyOf(const SimLink& link) const;
  // The ECUs a request of the link reaches (functional: reached by a
  // functional identifier or address); none explains an empty result.
  std::vector<SimEcu*> Targets(const SimLink& link, Family family, uint32_t id, bool& functional, std::string& none);
  // STARTCOMM / STOPCOMM: wake-up, key bytes, channel set-up, or an empty
  // vehicle-data frame where the bus has nothing to set up.
  void StartStop(SimLink& link, Family family, uint32_t copType, const Bytes& payload, uint32_t nowMs,
                 std::vector<OutFrame>& out);
  // SENDRECV: the ECUs' replies as vehicle-data frames, appended to out.
  void Route(SimLink& link, Family family, uint32_t id, const Bytes& payload, uint32_t nowMs,
             std::vector<OutFrame>& out);
  // Raw CAN: frame = identifier word + data; answers and, for a listening
  // ComPrimitive, the bus's traffic.
  void RouteRawCan(const SimLink& link, uint32_t copType, const Bytes& frame, uint32_t receiveCycles,
                   uint32_t nowMs, std::vector<OutFrame>& out);
  void EmitReplies(const SimLink& link, Family family, SimEcu& ecu, const std::vector<EcuReply>& replies,
                   uint32_t nowMs, std::vector<OutFrame>& out, bool withPrefix = true);
  // What the VCI puts in front of an ECU's reply on this family.
  Bytes Prefix(const SimLink& link, Family family, const SimEcu& ecu) const;
  // The TP2.0/TP1.6 connection's response identifier.
  uint32_t ConnectionId(const SimLink& link) const;
  OutFrame VehicleData(uint32_t uniqueId, const Bytes& message, uint32_t nowMs, uint32_t delayMs,
                       std::string note) const;
  uint32_t RawUniqueId(const SimLink& link, uint32_t idWord) const;
  // The table entry that labels a response; false when the VCI filters it.
  bool UniqueIdFor(const SimLink& link, Family family, const SimEcu& ecu, uint32_t& id) const;
  uint32_t Param(const SimLink& link, uint32_t code, uint32_t fallback) const;
  // Starts the traffic of the raw CAN bus to the link, at most budget
  // frames (0xFFFFFFFF: no limit).
  void StartTraffic(const SimLink& link, uint32_t nowMs, uint32_t budget);
  void StopTraffic();

  VciConfig vci_;
  std::vector<TrafficSource> traffic_;
  VciCore* core_ = nullptr;
  uint32_t trafficLink_ = 0;  // the hCLL the traffic goes to, 0: none
  std::vector<SimEcu> ecus_;
  std::map<uint32_t, SimLink> links_;
};

// ComPrimitive types of the COP payload.
inline constexpr uint32_t kCoptStartComm = 0x8001;
inline constexpr uint32_t kCoptStopComm = 0x8002;
inline constexpr uint32_t kCoptSendRecv = 0x8004;
// The request identifier and the bytes the library appends to requests
// of handlers that put no identifier in front.
inline constexpr size_t kIdBytes = 4;

inline uint32_t LeWord(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
// "0x7E0"
std::string Hex32(uint32_t v);

// The VCI codes the device reads (the library's ComParam codes).
namespace code {
inline constexpr uint32_t kRequestAddrMode = 142;
inline constexpr uint32_t kPhysReqTargetAddr = 139;
inline constexpr uint32_t kFuncReqTargetAddr = 111;
inline constexpr uint32_t kVwtpDestAddr = 200;
inline constexpr uint32_t k5BaudAddressFunc = 52;
inline constexpr uint32_t k5BaudAddressPhys = 53;
// Codes of the unique response identifier table.
inline constexpr uint32_t kCanPhysReqId = 0x50;
inline constexpr uint32_t kCanRespUSDTId = 0x53;
inline constexpr uint32_t kCanRespUUDTId = 0x56;
inline constexpr uint32_t kEcuRespSourceAddress = 0x67;
inline constexpr uint32_t kVwtpPhysRespIdCon = 0xD0;
}  // namespace code

}  // namespace vcisim
