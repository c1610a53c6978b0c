// Windows implementation of the platform services.
//
// Where the library's files live on Windows:
//   application folder  C:\ProgramData\Brenlo\Apps\7318\ (MDF.xml,
//                       config.ini, PDUAPI_7318.ini)
//   log folder value    HKEY_CURRENT_USER\SOFTWARE\Brenlo\MVCI\ value `path`
//   serial ports        HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM
// PDU7318_HOME and PDU7318_LOG_PATH, when set, take the place of the first
// two exactly as on Linux; the test suites use them to run against a
// temporary folder. An installation never sets them.
#include "platform/Platform.h"
#include "platform/Mutex.h"

#include <windows.h>
#include <shlobj.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/win32/WinText.h"

namespace pdu::platform {
namespace {

using win32::Narrow;
using win32::Widen;

constexpr char kAppFolder[] = "C:\\ProgramData\\Brenlo\\Apps\\7318\\";
constexpr wchar_t kLogPathKey[] = L"SOFTWARE\\Brenlo\\MVCI\\";
constexpr char kSerialMapKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM\\";

// Profile values are read into 260 wide characters, so 259 survive.
constexpr DWORD kProfileBuffer = 260;
// The log folder value is read into 512 bytes.
constexpr DWORD kLogPathBytes = 512;
// The serial map is enumerated with 200-byte name and data buffers and
// yields at most 260 ports.
constexpr DWORD kSerialMapBuffer = 200;
constexpr size_t kMaxSerialPorts = 260;
// The longest path Windows has, in UTF-16 characters (without terminator).
constexpr DWORD kMaxPathChars = 32767;

// FILETIME-style 100 ns units to microseconds.
uint64_t HundredNsToMicros(const FILETIME& ft) {
  ULARGE_INTEGER v;
  v.LowPart = ft.dwLowDateTime;
  v.HighPart = ft.dwHighDateTime;
  return v.QuadPart / 10u;
}

bool EnvValue(const wchar_t* name, std::string& out) {
  const wchar_t* v = _wgetenv(name);
  if (v == nullptr) return false;
  out = Narrow(v, std::wcslen(v));
  return true;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

bool TimedLock(std::recursive_timed_mutex& m, unsigned ms) {
  return m.try_lock_for(std::chrono::milliseconds(ms));
}

uint32_t GetTickCount() { return static_cast<uint32_t>(::GetTickCount()); }

uint64_t MonotonicMicros() {
  // The counter frequency is fixed at boot; reading it once is enough.
  static const uint64_t frequency = [] {
    LARGE_INTEGER f;
    return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? static_cast<uint64_t>(f.QuadPart)
                                                           : uint64_t{1000};
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  // Split to keep ticks * 10^6 from overflowing on long uptimes.
  return (ticks / frequency) * 1000000u + (ticks % frequency) * 1000000u / frequency;
}

void SleepMs(uint32_t ms) {
  // Sleep may come back up to one scheduler tick early; waiting again for
  // the rest keeps the "at least" promise.
  const uint64_t until = MonotonicMicros() + static_cast<uint64_t>(ms) * 1000u;
  ::Sleep(ms);
  for (uint64_t now = MonotonicMicros(); now < until; now = MonotonicMicros()) {
    ::Sleep(static_cast<DWORD>((until - now + 999u) / 1000u));
  }
}

uint64_t ThreadCpuMicros() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  return HundredNsToMicros(kernel) + HundredNsToMicros(user);
}

bool RaiseThreadPriority(int& error, const char*& call) {
  if (SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL)) return true;
  error = static_cast<int>(GetLastError());
  call = "SetThreadPriority";
  return false;
}

uint64_t ProcessCpuMicros() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return HundredNsToMicros(kernel) + HundredNsToMicros(user);
}

// GetModuleFileNameW fills the whole buffer (cutting the name short) when
// the path does not fit; a path beyond MAX_PATH (a long-path-aware
// process, a \\?\ folder) takes a bigger buffer, up to the 32767
// characters a Windows path can have.
std::string ExecutablePath() {
  std::wstring buf(MAX_PATH + 1, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buf.size());
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), size);
    if (n == 0) return std::string();
    if (n < size) return Narrow(buf.data(), n);
    if (size > kMaxPathChars) return std::string();
    buf.resize(static_cast<size_t>(size) * 2);
  }
}

std::string AppFolder() {
  std::string home;
  if (!EnvValue(L"PDU7318_HOME", home) || home.empty()) return kAppFolder;
  if (!IsSeparator(home.back())) home.push_back('\\');
  return home;
}

const char* PathSeparator() { return "\\"; }

std::string ReadIniString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& def) {
  wchar_t buf[kProfileBuffer] = {};
  const std::wstring wdef = Widen(def);
  const DWORD n = GetPrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(),
                                           wdef.c_str(), buf, kProfileBuffer,
                                           Widen(file).c_str());
  return Narrow(buf, n);
}

int ReadIniInt(const std::string& file, const std::string& section, const std::string& key,
               int def) {
  return static_cast<int>(GetPrivateProfileIntW(Widen(section).c_str(), Widen(key).c_str(), def,
                                                Widen(file).c_str()));
}

bool ReadLogPathValue(std::string& out) {
  std::string env;
  if (EnvValue(L"PDU7318_LOG_PATH", env)) {
    while (!env.empty() && IsSeparator(env.back())) env.pop_back();
    out = env;
    return true;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kLogPathKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  // One wide character more than the value may fill, for the terminator
  // that a stored value may lack.
  wchar_t buf[kLogPathBytes / sizeof(wchar_t) + 1] = {};
  DWORD type = 0;
  DWORD bytes = kLogPathBytes;
  const LONG rc = RegQueryValueExW(key, L"path", nullptr, &type,
                                   reinterpret_cast<BYTE*>(buf), &bytes);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  out = Narrow(buf, wcsnlen(buf, bytes / sizeof(wchar_t)));
  return true;
}

bool CreateFolderWithParents(const std::string& path) {
  if (path.empty()) return true;
  std::wstring wide = Widen(path);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  while (wide.size() > 1 && wide.back() == L'\\' && wide[wide.size() - 2] != L':') {
    wide.pop_back();
  }
  // SHCreateDirectoryExW takes only full paths; a relative log folder (an
  // odd registry value) is taken from the current directory like fopen does.
  // The first call asks for the size (terminator included), on the heap: a
  // caller's thread may have a small stack.
  const DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (need == 0 || need > kMaxPathChars + 1) return false;
  std::wstring full(need, L'\0');
  const DWORD n = GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
  if (n == 0 || n >= need) return false;
  full.resize(n);
  const int rc = SHCreateDirectoryExW(nullptr, full.c_str(), nullptr);
  if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS && rc != ERROR_FILE_EXISTS) return false;
  const DWORD attributes = GetFileAttributesW(full.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

FILE* OpenStdioFile(const std::string& utf8Path, const char* mode) {
  return _wfopen(Widen(utf8Path).c_str(), Widen(mode).c_str());
}

void SetEnvValue(const std::string& name, const std::string& value) {
  _wputenv_s(Widen(name).c_str(), Widen(value).c_str());
}

void ClearEnvValue(const std::string& name) { _wputenv_s(Widen(name).c_str(), L""); }

void ShowMessage(const std::string& utf8Text) {
  // No owner window and no caption (Windows then titles it "Error").
  MessageBoxW(nullptr, Widen(utf8Text).c_str(), nullptr, MB_OK);
}

void DebugOutput(const std::string& utf8Text) { OutputDebugStringW(Widen(utf8Text).c_str()); }

std::string LocalDateStamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", unsigned{now.wYear}, unsigned{now.wMonth},
                unsigned{now.wDay});
  return buf;
}

bool SerialPortCandidates(std::vector<std::string>& out) {
  out.clear();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialMapKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  // Values look like "\Device\Serial0" = "COM3". USB adapters whose driver
  // registers under another device name are not considered.
  for (DWORD index = 0;; ++index) {
    char name[kSerialMapBuffer];
    BYTE data[kSerialMapBuffer + 1];
    DWORD nameLen = kSerialMapBuffer;
    DWORD dataLen = kSerialMapBuffer;
    DWORD type = 0;
    const LONG rc = RegEnumValueA(key, index, name, &nameLen, nullptr, &type, data, &dataLen);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    data[dataLen < kSerialMapBuffer ? dataLen : kSerialMapBuffer] = 0;
    const char* text = reinterpret_cast<const char*>(data);
    if (std::strstr(name, "Device\\Serial") == nullptr || std::strstr(text, "COM") == nullptr) {
      continue;
    }
    if (out.size() >= kMaxSerialPorts) continue;
    // The number after the first three characters ("COM12" -> 12), kept
    // as one byte like the port list the device link was designed with.
    const int number = std::atoi(text + 3) & 0xFF;
    char device[32];
    std::snprintf(device, sizeof device, "\\\\.\\COM%d", number);
    out.emplace_back(device);
  }
  RegCloseKey(key);
  return true;
}

}  // namespace pdu::platform
