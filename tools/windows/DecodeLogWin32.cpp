// decode-log reads the log files with inotify and the frame decoder of the
// Linux tools (tools/pdutool/DecodeLog.cpp); the Windows build has none.
#include <cstdio>

#include "Client.h"
#include "Commands.h"

namespace pdutool {

int RunDecodeLog(const std::string&, bool, const DecodeFilter&) {
  std::fprintf(stderr, "pdutool: decode-log is not available in the Windows build\n");
  return kExitUsage;
}

}  // namespace pdutool
