// The shell reads the terminal and runs key programs with POSIX calls
// (tools/pdutool/Shell*.cpp); the Windows build has the one-shot commands
// only.
#include <cstdio>

#include "Shell.h"

namespace pdutool {

int RunShell(Client&, const ShellInput&) {
  std::fprintf(stderr, "pdutool: shell and run are not available in the Windows build\n");
  return kExitUsage;
}

}  // namespace pdutool
