// The simulator's byte helpers: little-endian words as the VCI puts them on
// the wire and hex text as scenario files and the trace write it (the tools'
// shared copies), plus what only the simulator needs.
#pragma once

#include "HexBytes.h"

namespace vcisim {

using hexbytes::AsciiOf;
using hexbytes::Bytes;
using hexbytes::HexSpaced;
using hexbytes::ParseHex;
using hexbytes::PutU32;
using hexbytes::Reader;

}  // namespace vcisim
