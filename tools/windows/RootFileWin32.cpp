// Where pdutool.exe and pdu7318-rootfile.exe find the root description
// file on Windows: the text value "Root File" under
// HKEY_LOCAL_MACHINE\SOFTWARE\D-PDU API, read in the registry view of the
// program's own bitness. A 32-bit program on 64-bit Windows is redirected
// to the 32-bit view (SOFTWARE\WOW6432Node\D-PDU API) by the system, which
// is what a 32-bit client does too: it lists and loads the APIs whose
// libraries it can load.
#include <windows.h>

#include <string>

#include "RootFile.h"

namespace pdutool {

// RRF_RT_REG_SZ takes a REG_EXPAND_SZ value too, with its variables
// expanded (asking for RRF_RT_REG_EXPAND_SZ would need RRF_NOEXPAND).
std::string DefaultRootFile() {
  DWORD bytes = 0;
  const wchar_t* key = L"SOFTWARE\\D-PDU API";
  const wchar_t* value = L"Root File";
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, nullptr,
                   &bytes) != ERROR_SUCCESS ||
      bytes < sizeof(wchar_t)) {
    return "";
  }
  std::wstring path(bytes / sizeof(wchar_t), L'\0');
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, path.data(),
                   &bytes) != ERROR_SUCCESS) {
    return "";
  }
  path.resize(wcsnlen(path.c_str(), path.size()));
  if (path.empty()) return "";
  // In the ANSI code page, as the narrow file functions that open it (and
  // the narrow command line of --root-file) take it.
  const int n = WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()), out.data(), n, nullptr, nullptr);
  }
  return out;
}

}  // namespace pdutool
