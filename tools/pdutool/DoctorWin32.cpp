// pdutool doctor on Windows (DoctorOs.h), and its DiscoveryWatch: the
// library on Windows shows its own message box when it finds no VCI, so
// there is nothing to watch.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Doctor.h"
#include "DoctorOs.h"

namespace pdutool {
namespace doctor {
namespace {

std::string Utf8(const wchar_t* w, size_t count) {
  if (count == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(count), out.data(), n, nullptr, nullptr);
  return out;
}

// Text data of a REG_SZ value as read, without the terminator it may
// lack or have.
std::string TextData(const std::vector<wchar_t>& data, DWORD bytes) {
  return Utf8(data.data(), wcsnlen(data.data(), std::min<size_t>(bytes / sizeof(wchar_t), data.size())));
}

std::wstring Wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

}  // namespace

std::string PortSource() { return "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"; }

std::string NoPortHint() {
  return "plug the VCI in and install its driver: it must appear as \\Device\\SerialN = COMn in "
         "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM (Device Manager, Ports (COM & LPT))";
}

// Every value of the serial device map, marking those the library passes
// over (a USB driver registering as \Device\VCP0), and the log folder value
// of this user.
std::vector<std::string> SettingsRead() {
  std::vector<std::string> out;
  const std::string map = PortSource();
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    out.push_back(map + ": no such key (no serial port driver has registered a port)");
  } else {
    for (DWORD index = 0;; ++index) {
      std::vector<wchar_t> name(256), data(256);
      DWORD nameLen = static_cast<DWORD>(name.size());
      DWORD dataBytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
      DWORD type = 0;
      const LONG rc = RegEnumValueW(key, index, name.data(), &nameLen, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data.data()), &dataBytes);
      if (rc != ERROR_SUCCESS) break;
      const std::string n = Utf8(name.data(), nameLen);
      const std::string d = type == REG_SZ ? TextData(data, dataBytes) : std::string("(not text)");
      const bool used = n.find("Device\\Serial") != std::string::npos && d.find("COM") != std::string::npos;
      out.push_back(map + " " + n + " = " + d + (used ? "" : " (not a \\Device\\Serial name: not tried)"));
    }
    RegCloseKey(key);
  }
  const std::string logKey = "HKCU\\SOFTWARE\\Brenlo\\MVCI path";
  std::vector<wchar_t> path(1024);
  DWORD bytes = static_cast<DWORD>(path.size() * sizeof(wchar_t));
  if (RegGetValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Brenlo\\MVCI", L"path", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                       RRF_NOEXPAND, nullptr, path.data(), &bytes) == ERROR_SUCCESS) {
    out.push_back(logKey + " = " + TextData(path, bytes));
  } else {
    out.push_back(logKey + ": not set (logs go to the application's current folder)");
  }
  return out;
}

PortFinding OpenFailed(const std::string&, bool busy, int error, const std::string& call) {
  if (busy) {
    return {"busy", "busy - another program holds it (a terminal program, another diagnostic application); close it",
            ""};
  }
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
    return {"missing", "does not exist (unplugged, or its driver is not installed)", ""};
  return {"error", "cannot be opened (" + ErrorText(call, error) + ")", ""};
}

std::string ErrorText(const std::string& call, int error) { return call + " error " + std::to_string(error); }

// Windows does not tell which process holds a COM port.
std::vector<std::string> OtherHolders(const std::string&) { return {}; }

bool FileExists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

// Windows decides by access lists that only an attempt tests: a probe
// file is created (and deleted on close) in the folder or its nearest
// existing parent, the folder the library would create the rest in.
bool FolderWritable(const std::string& folder, std::string& where) {
  where = folder;
  while (where.size() > 3 && !FileExists(where)) {
    if (where.back() == '\\' || where.back() == '/') where.pop_back();
    const size_t sep = where.find_last_of("\\/");
    if (sep == std::string::npos) break;
    where = where.substr(0, sep + 1);
  }
  const DWORD attributes = GetFileAttributesW(Wide(where).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  // A log path naming a file (PDU7318_LOG_PATH=C:\logs\pdu.log): no
  // folder can be made below it, whatever its attributes say.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    where += " is a file, not a folder";
    return false;
  }
  std::string probe = where;
  if (probe.back() != '\\' && probe.back() != '/') probe += '\\';
  probe += ".pdu7318-doctor-" + std::to_string(GetCurrentProcessId());
  const HANDLE h = CreateFileW(Wide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

}  // namespace doctor

struct DiscoveryWatch::Impl {};
DiscoveryWatch::DiscoveryWatch(const std::string&) : impl_(std::make_unique<Impl>()) {}
DiscoveryWatch::~DiscoveryWatch() = default;
bool DiscoveryWatch::FinishedWithoutVci() { return false; }

}  // namespace pdutool
