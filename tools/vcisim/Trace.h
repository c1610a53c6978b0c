// Readable text of one frame for --trace: the command's name and its
// payload field by field, e.g.
//
//   PC->VCI  veh #7  SET_LINK_PARAM  hMod=1 hCLL=1 CP_P2Max(15) UNUM32 = 50000
//   VCI->PC  veh #9  VEHICLE_DATA    status=0 t=1234 uid=1 n=20 [E8 07 00 00 62 F1 90 ...]
//
// The direction decides how a command's data are read: from the PC they
// are the command's payload, from the VCI its answer.
#pragma once

#include <cstdint>
#include <string>

#include "Bytes.h"

namespace vcisim {

const char* CommandName(uint8_t command);

// The fields of one frame's data (no direction, channel or sequence).
std::string DescribeData(bool fromPc, uint8_t command, const Bytes& data);

// A whole trace line without the time stamp.
std::string DescribeFrame(bool fromPc, uint8_t channel, uint8_t sequence, uint8_t command, const Bytes& data);

}  // namespace vcisim
