// pdutool's usage on Linux (UsageOs.h): every command is built.
#include "UsageOs.h"

namespace pdutool {

const OsUsage& ThisOsUsage() {
  static const OsUsage usage{
      "../lib/libpdu7318.so beside pdutool,\n                    else the installed libpdu7318.so.1",
      "/etc/pdu_api_root.xml", "$PDU7318_HOME/MDF.xml", true, true, "SIGINT/SIGTERM"};
  return usage;
}

}  // namespace pdutool
