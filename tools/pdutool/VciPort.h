// The serial port the loaded module holds (for "VCI lost on PORT"): found
// by what the process has open, since the D-PDU API does not name it.
// VciPort.cpp is the POSIX body (/proc/self/fd), tools/windows/
// VciPortWin32.cpp the Windows one.
#pragma once

#include <string>

namespace pdutool {

// The candidate port (PDU7318_PORTS order, else /dev/ttyUSB*, /dev/ttyACM*)
// that the process has open; "the VCI's port" when none is known.
std::string VciPortName();

// Text of an operating-system error number ("Input/output error").
std::string SystemErrorText(unsigned code);

}  // namespace pdutool
