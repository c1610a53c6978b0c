// The codes the VCI firmware uses for pin types, I/O controls, ComParams,
// bus types and protocols, looked up by the short names of the module
// description. Built into the module (constexpr tables); callable from any
// thread.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace pdu::mdf {

// One row of a static name table.
struct VciNameCode {
  uint32_t Code;
  std::string_view Name;
};

// Answer of GetVciCode for a name without a VCI code.
inline constexpr uint32_t kNoVciCode = 0xFFFFFFFFu;
// Answer of GetUniqueIdComParamCode for a name outside the ten
// response-identification ComParams. Callers treat >= 255 as "none".
inline constexpr uint32_t kNoUniqueIdCode = 255;

// The tables in their row order (first match wins in every lookup).
std::span<const VciNameCode> PinTypeNameTable();    // 11 rows, "HI" 1 .. "IGNITION_CLAMP" 11
std::span<const VciNameCode> IoCtlNameTable();      // 23 rows, codes 0..22
std::span<const VciNameCode> BusTypeNameTable();    // 15 rows, codes 0..14
std::span<const VciNameCode> ProtocolNameTable();   // 33 rows, 0..27 and 100..104
std::span<const VciNameCode> ComParamNameTable();   // 197 rows, 1..186 and 200..210

// The VCI code of a short name, searched in the order pin types, I/O
// controls, ComParams, bus types, protocols. A ComParam that the VCI is not
// given (CAN identifiers, addressing, unique-identification ComParams, ...)
// and a name in no table give kNoVciCode. Every CAN bus type gives 12 (the
// VCI's one CAN bus), the K-line bus types 13 and 14.
uint32_t GetVciCode(std::string_view shortName);

// The code under which one of the ten response-identification ComParams
// travels in the unique response identifier table ("CP_CanPhysReqId" 80,
// "CP_CanRespUSDTId" 83, ...); kNoUniqueIdCode for any other name.
uint32_t GetUniqueIdComParamCode(std::string_view comParamShortName);

}  // namespace pdu::mdf
