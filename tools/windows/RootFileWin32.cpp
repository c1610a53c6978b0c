// Where pdutool.exe and pdu7318-rootfile.exe find the root description
// file on Windows: the text value "Root File" under
// HKEY_LOCAL_MACHINE\SOFTWARE\D-PDU API, read in the registry view of the
// program's own bitness. A 32-bit program on 64-bit Windows is redirected
// to the 32-bit view (SOFTWARE\WOW6432Node\D-PDU API) by the system, which
// is what a 32-bit client does too: it lists and loads the APIs whose
// libraries it can load.
#include <windows.h>
#include <restartmanager.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "RootFile.h"

namespace pdutool {
namespace {

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

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
  return Utf8(path);
}

// CommandLineToArgvW splits as the C runtime does for argv (quotes,
// backslashes before a quote), from the command line as Windows keeps it.
std::vector<std::string> CommandLineUtf8(int, char**) {
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  std::vector<std::string> args;
  if (wide == nullptr) return args;
  for (int i = 1; i < n; ++i) args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return args;
}

// One Restart Manager session per question. RmGetList says how many
// entries it needs; a program that starts in between makes the second call
// short again (ERROR_MORE_DATA), hence the few rounds.
std::vector<std::string> FileHolders(const std::vector<std::string>& utf8Paths) {
  std::vector<std::string> holders;
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (RmStartSession(&session, 0, key) != ERROR_SUCCESS) return holders;
  std::vector<std::wstring> paths;
  for (const std::string& p : utf8Paths) paths.push_back(PathFromUtf8(p).wstring());
  std::vector<LPCWSTR> names;
  for (const std::wstring& p : paths) names.push_back(p.c_str());
  if (RmRegisterResources(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr) ==
      ERROR_SUCCESS) {
    std::vector<RM_PROCESS_INFO> info;
    UINT needed = 0;
    UINT count = 0;
    DWORD reasons = 0;
    DWORD rc = ERROR_MORE_DATA;
    for (int round = 0; rc == ERROR_MORE_DATA && round < 3; ++round) {
      info.resize(needed);
      count = needed;
      rc = RmGetList(session, &needed, &count, info.empty() ? nullptr : info.data(), &reasons);
    }
    for (UINT i = 0; rc == ERROR_SUCCESS && i < count; ++i) {
      holders.push_back(Utf8(info[i].strAppName) + " (process " + std::to_string(info[i].Process.dwProcessId) + ")");
    }
  }
  RmEndSession(session);
  return holders;
}

}  // namespace pdutool
