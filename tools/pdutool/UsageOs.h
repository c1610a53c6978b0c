// What pdutool's usage text says differently on each OS: the defaults it
// names and the commands the build has. UsagePosix.cpp and
// tools/windows/UsageWin32.cpp implement it; CMake compiles exactly one.
#pragma once

namespace pdutool {

struct OsUsage {
  const char* library;   // the --lib default, as a sentence fragment
  const char* rootFile;  // the --root-file default
  const char* mdf;       // the module description's default path
  bool shell;            // shell and run are built
  bool decodeLog;        // decode-log is built
  const char* stopped;   // what exit 130 stands for
};

const OsUsage& ThisOsUsage();

}  // namespace pdutool
