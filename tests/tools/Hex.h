// Bytes written as hex text in a test ("02 10 03"); the text is the test's
// own, so it always parses. Frame data as the library sends it.
#pragma once

#include <initializer_list>

#include "Bytes.h"

namespace vcisim {

inline Bytes H(const char* hex) { return *ParseHex(hex); }

inline Bytes Words(std::initializer_list<uint32_t> words) {
  Bytes out;
  for (uint32_t w : words) PutU32(out, w);
  return out;
}

// The COP command's data: hMod 1, the link, the type, the request's length
// and bytes, then NumSendCycles 1, NumReceiveCycles and no expected
// responses.
inline Bytes CopData(uint32_t hCLL, uint32_t copType, const Bytes& request, uint32_t receiveCycles) {
  Bytes d = Words({1, hCLL, copType, static_cast<uint32_t>(request.size())});
  d.insert(d.end(), request.begin(), request.end());
  const Bytes tail = Words({1, receiveCycles, 0});
  d.insert(d.end(), tail.begin(), tail.end());
  return d;
}

}  // namespace vcisim
