// What a scenario file describes: the VCI's own readings and the ECUs on
// the simulated vehicle's buses.
//
// A scenario is a JSON object (data/scenarios/*.json; docs/vcisim.md has
// the full format):
//
//   { "name": "...", "description": "...",
//     "vci":  { "battery_mv": 12600, "ignition": 1, "firmware": "0x01020003" },
//     "ecus": [ { "name": "engine", "bus": "can", "behaviour": "uds",
//                 "request_id": "0x7E0", "response_id": "0x7E8", ... }, ... ],
//     "traffic": [ { "name": "wheels", "family": "raw_can", "id": "0x1A0",
//                    "data": "00 00", "period_ms": 1, "counter": true } ],
//     "sessions": [ ... ] }        // read by the end-to-end tests only
//
// Numbers may be JSON numbers or strings ("0x7E0", "2016"); byte strings
// are hex ("62 F1 90") or, where the field says so, "ascii:TEXT".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Bytes.h"

namespace vcisim {

// The bus an ECU sits on. kKLine serves both the ISO 14230 and the ISO 9141
// (5-baud) protocols; the link's protocol decides how it is woken up.
enum class EcuBus { kCan, kKLine, kTp20, kTp16, kJ1850, kJ1939, kJ1708, kSci };
// Built-in services: UDS, KWP2000, none (rules only), raw CAN (echo), OBD-II
// (ISO 15031-5 modes 01/03/04/09 and SAE J2190 mode 22), KW1281 blocks,
// SAE J1939 (request PGN, DM1), SAE J1587 (parameter requests), SCI.
enum class EcuBehaviour { kUds, kKwp, kTableOnly, kRaw, kObd, kKw1281, kJ1939, kJ1587, kSci };

// Raw CAN identifier words, as the VCI carries them in front of a frame's
// data (u32, little-endian): the identifier in bits 0-28, bit 31 set for a
// 29-bit (extended) identifier, bit 30 set for a remote frame.
inline constexpr uint32_t kCanExtendedFlag = 0x80000000u;
inline constexpr uint32_t kCanRemoteFlag = 0x40000000u;

// One response of an ECU, sent delayMs after the previous one (the first
// after the request).
struct EcuReply {
  Bytes data;
  uint32_t delayMs = 0;
};

// A request the scenario answers itself, before any built-in service.
struct RequestRule {
  Bytes request;
  bool prefix = false;            // match requests that start with `request`
  std::vector<EcuReply> replies;  // empty: the ECU stays silent
  uint32_t busy = 0;              // first answer 7F sid 21 this many times
  uint32_t pending = 0;           // send 7F sid 78 this many times first
  uint32_t pendingIntervalMs = 500;
  uint32_t busyLeft = 0;          // runtime: busy answers still to give
};

// A trouble code: the two-byte SAE J2012 code ("P0301" is 03 01), the
// failure type byte that UDS adds, and the status byte.
struct Dtc {
  uint16_t code = 0;
  uint8_t failureType = 0;
  uint8_t status = 0;
};

// A routine of service 0x31 that reports "response pending" before its
// result.
struct Routine {
  uint32_t pending = 0;
  uint32_t pendingIntervalMs = 500;
  Bytes result;
};

struct EcuConfig {
  std::string name;
  EcuBus bus = EcuBus::kCan;
  EcuBehaviour behaviour = EcuBehaviour::kUds;
  // CAN: the identifiers the ECU listens on and answers with.
  uint32_t requestId = 0x7E0;
  uint32_t responseId = 0x7E8;
  std::optional<uint32_t> functionalId = 0x7DF;
  // K-line: the ECU's address (physical target address of the tester's
  // requests, source address of the ECU's responses); TP2.0: the logical
  // destination address of the channel set-up.
  uint32_t address = 0x10;
  std::optional<uint32_t> functionalAddress = 0x33;
  uint32_t delayMs = 10;  // reaction time of built-in services

  std::map<uint32_t, Bytes> dataIds;         // UDS 0x22 / 0x2E
  std::map<uint32_t, Bytes> identification;  // KWP 0x1A
  std::map<uint32_t, Bytes> localIds;        // KWP 0x21, KW1281 group readings (0x29)
  std::map<uint32_t, Bytes> pids;            // OBD-II mode 01 parameter values
  Bytes keyBytes;                            // 5-baud init key bytes (empty: by behaviour)
  std::vector<Dtc> dtcs;
  uint32_t seed = 0x11223344;
  std::map<uint32_t, Routine> routines;  // 0x31 01 <id>
  std::vector<RequestRule> rules;
};

// Background traffic of the vehicle's bus: a frame that some node (an
// ECU or not) sends every periodMs whether anyone asks or not (burst frames
// back to back), on the bus of one link family. The one way a scenario
// declares frames sent unasked: they run on the bus's clock and never
// restart with a receive window. The VCI passes it to a link of that
// family while a ComPrimitive there listens (docs/vcisim.md). The grid
// starts startMs after the simulator does.
enum class TrafficFamily { kRawCan };
struct TrafficSource {
  std::string name;
  TrafficFamily family = TrafficFamily::kRawCan;
  uint32_t id = 0;  // identifier word (see kCanExtendedFlag)
  Bytes data;
  uint32_t periodMs = 10;
  uint32_t burst = 1;
  uint32_t startMs = 0;
  bool counter = false;  // the last data byte counts the source's frames
};

struct VciConfig {
  uint32_t batteryMv = 12600;
  uint32_t ignition = 1;
  uint32_t firmware = 0x01020003;  // second word of the OPEN answer
};

struct Scenario {
  std::string name;
  std::string description;
  VciConfig vci;
  std::vector<EcuConfig> ecus;
  std::vector<TrafficSource> traffic;
};

// Loads and checks a scenario file. On failure returns nullopt and puts a
// readable reason (with the JSON path of the bad field) into error.
std::optional<Scenario> LoadScenario(const std::string& path, std::string& error);
std::optional<Scenario> ParseScenario(const std::string& jsonText, std::string& error);

// The built-in scenario used when no file is given: one UDS ECU on CAN.
Scenario DefaultScenario();

// The fixed seed/key algorithm of the built-in security access (0x27):
// key = (seed rotated left by 3 bits) XOR 0x5AA5C33C.
uint32_t KeyFromSeed(uint32_t seed);

}  // namespace vcisim
