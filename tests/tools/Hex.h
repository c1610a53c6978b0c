// Bytes written as hex text in a test ("02 10 03"); the text is the test's
// own, so it always parses.
#pragma once

#include "Bytes.h"

namespace vcisim {

inline Bytes H(const char* hex) { return *ParseHex(hex); }

}  // namespace vcisim
