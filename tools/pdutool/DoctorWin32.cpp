// pdutool doctor on Windows (DoctorOs.h), and its DiscoveryWatch: the
// library on Windows shows its own message box when it finds no VCI, so
// there is nothing to watch.
#include <windows.h>

#include <string>

#include "Doctor.h"
#include "DoctorOs.h"

namespace pdutool {
namespace doctor {
namespace {

std::wstring Wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

}  // namespace

std::string PortSource() { return "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"; }

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
