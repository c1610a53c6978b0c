// Readable text of the frames between the PC and the VCI: the command's
// name and its payload field by field, e.g.
//
//   PC->VCI  veh #7  SET_LINK_PARAM  hMod=1 hCLL=1 CP_P2Max(15) UNUM32 = 50000
//   VCI->PC  veh #9  VEHICLE_DATA    status=0 t=1234 uid=1 n=20 [E8 07 00 00 62 F1 90 ...]
//
// The direction decides how a command's data are read: from the PC they
// are the command's payload, from the VCI its answer. The one decoder of
// the tools: vcisim's --trace and pdutool's decode-log both print with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "HexBytes.h"

namespace frametext {

const char* CommandName(uint8_t command);

// The fields of one frame's data (no direction, channel or sequence).
std::string DescribeData(bool fromPc, uint8_t command, const std::vector<uint8_t>& data);

// A whole trace line without the time stamp.
std::string DescribeFrame(bool fromPc, uint8_t channel, uint8_t sequence, uint8_t command,
                          const std::vector<uint8_t>& data);

using hexbytes::HexSpaced;

// The fields of one whole frame, flags and checksum included, given
// unstuffed or stuffed as it travels on the wire; nullopt when it is not
// one valid frame.
struct Frame {
  uint8_t channel = 0;
  uint8_t sequence = 0;
  uint8_t command = 0;
  std::vector<uint8_t> data;
};
std::optional<Frame> ParseFrame(const uint8_t* bytes, size_t count);

}  // namespace frametext
