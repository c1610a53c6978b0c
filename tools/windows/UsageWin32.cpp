// pdutool's usage on Windows (UsageOs.h): the DLL beside pdutool.exe, the
// root description file of the registry view of pdutool.exe's own bitness
// (RootFileWin32.cpp), the fixed application folder; no shell, run or
// decode-log (ShellWin32.cpp, DecodeLogWin32.cpp).
#include "UsageOs.h"

namespace pdutool {

const OsUsage& ThisOsUsage() {
  static const OsUsage usage{"pdu7318.dll beside pdutool.exe",
                             "the file that HKLM\\SOFTWARE\\D-PDU API \"Root File\"\n"
                             "                    names, in the registry view of this pdutool.exe's bitness",
                             "C:\\ProgramData\\Brenlo\\Apps\\7318\\MDF.xml",
                             false,
                             false,
                             "Ctrl-C"};
  return usage;
}

}  // namespace pdutool
