// VciPort.h on Windows: the module's COM port is not visible from outside
// the library; errors are Windows error codes.
#include <windows.h>

#include <string>

#include "VciPort.h"

namespace pdutool {

std::string VciPortName() { return "the VCI's port"; }

std::string SystemErrorText(unsigned code) {
  char text[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                           sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) text[--n] = 0;
  return n > 0 ? std::string(text) : "error " + std::to_string(code);
}

}  // namespace pdutool
