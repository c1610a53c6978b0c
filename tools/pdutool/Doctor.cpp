// pdutool doctor and the discovery progress of PDUConstruct (Doctor.h).
//
// The port check repeats the library's opening sequence with its own code
// (pdutool uses nothing of the library but its exported functions and the
// frame codec): open for exclusive use (Linux: TIOCEXCL and an advisory
// flock, the lock every user of the library takes; Windows: no sharing),
// DTR and RTS low, raw 8N1 at 1,500,000 baud, a 50 ms DTR pulse, 500 ms
// for the VCI to settle, then at most two probes (command 0x05 on the
// management channel, 16 zero bytes) with 1100 ms each for a management
// frame with data. The probe and the folder checks are common; the ports,
// folders and the discovery watch are per OS below.
#include "Doctor.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <tinyxml.h>

#include "device/DeviceFrame.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <asm/termbits.h>  // struct termios2, BOTHER, TCGETS2/TCSETS2
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#endif

namespace pdutool {
namespace {

using nlohmann::json;
namespace dev = pdu::device;

constexpr int kDtrPulseMs = 50;
constexpr int kSettleMs = 500;
constexpr int kProbeWaitMs = 1100;
constexpr int kProbeAttempts = 2;

struct PortFinding {
  std::string state;   // missing, denied, busy, not-serial, silent, found, error
  std::string text;    // the plain-English line
  std::string answer;  // probe answer (hex) when found
};

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The value of key in [section] of an INI file, trimmed and without one
// pair of quotes; names compare without case. "" when absent.
std::string IniValue(const std::string& file, const std::string& section, const std::string& key) {
  std::ifstream in(file);
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  auto trim = [](std::string s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return std::string();
    const size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
  };
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    line = trim(line);
    if (!line.empty() && line[0] == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string::npos && lower(trim(line.substr(1, close - 1))) == lower(section);
      continue;
    }
    const size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos || lower(trim(line.substr(0, eq))) != lower(key)) continue;
    std::string value = trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return "";
}

// The line for a port that opened but did not answer; holders are the
// other programs that have it open (a getty, ModemManager probing a new
// ttyACM), which may be taking the answers.
PortFinding Silent(size_t stray, const std::vector<std::string>& holders) {
  std::string text = "opened, but no answer to the probe";
  if (!holders.empty()) {
    text += " (also open in process " + holders.front() + ", which may take the answers)";
  } else if (stray > 0) {
    text += " (" + std::to_string(stray) +
            " bytes came back that are no frame of the VCI: another device, or a wrong baud rate)";
  } else {
    text += " (is the VCI powered? it takes its power from the vehicle's diagnostic socket)";
  }
  return {"silent", text, ""};
}

// Sends one probe and waits for a management frame with data. write(p, n)
// is true when all n bytes went out; read(buf, cap, ms) waits at most ms
// and gives the number of bytes read, 0 for none, -1 when the line is
// gone. stray counts bytes that came back without forming such a frame.
template <typename WriteFn, typename ReadFn>
bool ProbeOnce(uint8_t sequence, WriteFn write, ReadFn read, std::string& answer, size_t& stray) {
  static const uint8_t kZeros[16] = {};
  uint8_t frame[64];
  uint8_t stuffed[128];
  const size_t len = dev::BuildFrame(dev::kChannelManagement, sequence, dev::VCI_CMD_PROBE, kZeros,
                                     sizeof kZeros, frame, sizeof frame);
  const size_t slen = dev::StuffFrame(frame, len, stuffed, sizeof stuffed);
  if (!write(stuffed, slen)) return false;
  std::vector<uint8_t> buf;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeWaitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                            std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    uint8_t chunk[4096];
    const int n = read(chunk, sizeof chunk, static_cast<int>(left.count()));
    if (n < 0) return false;  // hung up
    if (n == 0) continue;
    buf.insert(buf.end(), chunk, chunk + n);
    stray += static_cast<size_t>(n);
    // Whole segments between flags.
    for (;;) {
      auto open = std::find(buf.begin(), buf.end(), dev::kFrameFlag);
      if (open == buf.end()) {
        buf.clear();
        break;
      }
      auto close = std::find(open + 1, buf.end(), dev::kFrameFlag);
      if (close == buf.end()) {
        buf.erase(buf.begin(), open);
        break;
      }
      if (close == open + 1) {  // flag after flag: the second opens
        buf.erase(buf.begin(), close);
        continue;
      }
      const size_t segLen = static_cast<size_t>(close - open) + 1;
      uint8_t plain[dev::kMaxReceivedFrame];
      const size_t plainLen = segLen <= dev::kMaxReceivedFrame
                                  ? dev::UnstuffFrame(&*open, segLen, plain, sizeof plain)
                                  : 0;
      buf.erase(buf.begin(), close + 1);
      if (plainLen == 0 || !dev::CheckFrame(plain, plainLen)) continue;
      if (plain[dev::kFrameOffChannel] != dev::kChannelManagement) continue;
      const uint16_t dataLen = dev::FrameDataLength(plain);
      if (dataLen == 0) continue;
      stray = 0;
      static const char kDigits[] = "0123456789ABCDEF";
      answer.clear();
      for (size_t i = 0; i < dataLen && i < 64; ++i) {
        if (i) answer += ' ';
        answer += kDigits[plain[dev::kFrameOffData + i] >> 4];
        answer += kDigits[plain[dev::kFrameOffData + i] & 15];
      }
      if (dataLen > 64) answer += " ...";
      return true;
    }
  }
}

#ifdef _WIN32

// ---- Windows --------------------------------------------------------------

constexpr DWORD kBaudRate = 1500000;

std::wstring Wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string EnvValue(const wchar_t* name, bool& set) {
  wchar_t buf[1024];
  const DWORD n = GetEnvironmentVariableW(name, buf, 1024);
  set = n > 0 && n < 1024;
  return set ? Narrow(std::wstring(buf, n)) : std::string();
}

// The serial device map, as the library reads it: values named
// "...Device\Serial..." whose data holds "COM"; "\\.\COMn".
std::vector<std::string> CandidatePorts(std::string& source) {
  source = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
  std::vector<std::string> out;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM\\", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return out;
  for (DWORD index = 0;; ++index) {
    char name[200];
    BYTE data[201];
    DWORD nameLen = 200;
    DWORD dataLen = 200;
    DWORD type = 0;
    const LONG rc = RegEnumValueA(key, index, name, &nameLen, nullptr, &type, data, &dataLen);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    data[dataLen < 200 ? dataLen : 200] = 0;
    const char* text = reinterpret_cast<const char*>(data);
    if (std::strstr(name, "Device\\Serial") == nullptr || std::strstr(text, "COM") == nullptr) continue;
    out.push_back("\\\\.\\COM" + std::to_string(std::atoi(text + 3) & 0xFF));
  }
  RegCloseKey(key);
  return out;
}

std::string AppFolder() {
  bool set = false;
  std::string home = EnvValue(L"PDU7318_HOME", set);
  if (home.empty()) return "C:\\ProgramData\\Brenlo\\Apps\\7318\\";
  if (home.back() != '\\' && home.back() != '/') home += '\\';
  return home;
}

// The log folder the library would use; "" for the current directory.
std::string LogFolder() {
  bool set = false;
  std::string value = EnvValue(L"PDU7318_LOG_PATH", set);
  if (!set) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Brenlo\\MVCI\\", 0, KEY_READ, &key) != ERROR_SUCCESS)
      return "";
    wchar_t buf[257] = {};
    DWORD bytes = 512;
    DWORD type = 0;
    const LONG rc = RegQueryValueExW(key, L"path", nullptr, &type, reinterpret_cast<BYTE*>(buf), &bytes);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return "";
    value = Narrow(std::wstring(buf, wcsnlen(buf, bytes / sizeof(wchar_t))));
  }
  while (!value.empty() && (value.back() == '\\' || value.back() == '/')) value.pop_back();
  return value + "\\J2534\\7318\\";
}

bool FileExists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

// Windows decides by access lists that only an attempt would test; the
// folder or its nearest existing parent is looked at for existence and
// the read-only attribute.
bool FolderWritable(const std::string& folder, std::string& where) {
  where = folder;
  while (where.size() > 3 && !FileExists(where)) {
    if (where.back() == '\\' || where.back() == '/') where.pop_back();
    const size_t sep = where.find_last_of("\\/");
    if (sep == std::string::npos) break;
    where = where.substr(0, sep + 1);
  }
  const DWORD attributes = GetFileAttributesW(Wide(where).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

PortFinding CheckPort(const std::string& path) {
  Handle port(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (port.get() == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
      return {"missing", "does not exist (unplugged, or its driver is not installed)", ""};
    if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION)
      return {"busy", "busy - another program holds it (a terminal program, another diagnostic application); close it", ""};
    return {"error", "cannot be opened (CreateFileW error " + std::to_string(e) + ")", ""};
  }
  const HANDLE h = port.get();
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb))
    return {"not-serial", "opened, but it is not a serial port (GetCommState error " + std::to_string(GetLastError()) + ")", ""};
  dcb.BaudRate = kBaudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fTXContinueOnXoff = 0;
  if (!SetCommState(h, &dcb))
    return {"not-serial", "opened, but the port refuses 1,500,000 baud 8N1 (SetCommState error " +
                              std::to_string(GetLastError()) + ")", ""};
  // A read returns as soon as a byte is there, or after 100 ms with none.
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = 100;
  timeouts.WriteTotalTimeoutConstant = 500;
  SetCommTimeouts(h, &timeouts);
  const bool modemLines = EscapeCommFunction(h, CLRDTR) != 0;
  if (modemLines) {
    EscapeCommFunction(h, CLRRTS);
    EscapeCommFunction(h, SETDTR);
    SleepMs(kDtrPulseMs);
    EscapeCommFunction(h, CLRDTR);
  }
  SleepMs(kSettleMs);
  auto write = [h](const uint8_t* data, size_t count) {
    DWORD done = 0;
    return WriteFile(h, data, static_cast<DWORD>(count), &done, nullptr) && done == count;
  };
  auto read = [h](uint8_t* data, size_t capacity, int timeoutMs) -> int {
    (void)timeoutMs;  // bounded by the 100 ms of the port's read timeouts
    DWORD got = 0;
    if (!ReadFile(h, data, static_cast<DWORD>(capacity), &got, nullptr)) return -1;
    return static_cast<int>(got);
  };
  std::string answer;
  size_t stray = 0;
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    if (ProbeOnce(static_cast<uint8_t>(attempt + 1), write, read, answer, stray))
      return {"found", "VCI found - probe answer: " + answer, answer};
  }
  return Silent(stray, {});
}

}  // namespace

struct DiscoveryWatch::Impl {};
DiscoveryWatch::DiscoveryWatch(const std::string&) : impl_(std::make_unique<Impl>()) {}
DiscoveryWatch::~DiscoveryWatch() = default;
// The library on Windows shows its own message box when it finds no VCI.
bool DiscoveryWatch::FinishedWithoutVci() { return false; }

namespace {

#else

// ---- Linux ----------------------------------------------------------------

constexpr unsigned kBaudRate = 1500000;
// Where the package puts the udev rule (cmake/Install.cmake).
constexpr const char* kUdevRuleDoc = "/usr/share/doc/pdu7318/60-pdu7318.rules";

// ---- the library's candidate list and folders, as it computes them ----

long DeviceNumber(const std::string& path) {
  size_t i = path.size();
  while (i > 0 && path[i - 1] >= '0' && path[i - 1] <= '9') --i;
  if (i == path.size()) return -1;
  return std::strtol(path.c_str() + i, nullptr, 10);
}

// PDU7318_PORTS (colon-separated; set but empty means none), else
// /dev/ttyUSB* and then /dev/ttyACM*, each in numeric order.
std::vector<std::string> CandidatePorts(std::string& source) {
  std::vector<std::string> out;
  if (const char* list = std::getenv("PDU7318_PORTS")) {
    source = "PDU7318_PORTS";
    std::stringstream in(list);
    std::string part;
    while (std::getline(in, part, ':')) {
      if (!part.empty()) out.push_back(part);
    }
    return out;
  }
  source = "/dev/ttyUSB* and /dev/ttyACM*";
  for (const char* pattern : {"/dev/ttyUSB*", "/dev/ttyACM*"}) {
    glob_t g{};
    std::vector<std::string> found;
    if (glob(pattern, 0, nullptr, &g) == 0) {
      for (size_t i = 0; i < g.gl_pathc; ++i) found.emplace_back(g.gl_pathv[i]);
    }
    globfree(&g);
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
      return DeviceNumber(a) < DeviceNumber(b);
    });
    out.insert(out.end(), found.begin(), found.end());
  }
  return out;
}

std::string AppFolder() {
  const char* home = std::getenv("PDU7318_HOME");
  std::string folder = (home != nullptr && *home != '\0') ? home : "/etc/brenlo/7318";
  if (folder.back() != '/') folder += '/';
  return folder;
}

// The log folder the library would use; "" for the current directory.
std::string LogFolder() {
  const char* v = std::getenv("PDU7318_LOG_PATH");
  if (v == nullptr) return "";
  std::string s(v);
  if (s.size() > 255) s.resize(255);
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s + "/J2534/7318/";
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The folder, or the nearest existing parent that would hold it, is
// writable; where names the folder looked at.
bool FolderWritable(const std::string& folder, std::string& where) {
  where = folder;
  while (where.size() > 1 && ::access(where.c_str(), F_OK) != 0) {
    if (where.back() == '/') where.pop_back();
    const size_t slash = where.rfind('/');
    where = slash == std::string::npos ? "." : slash == 0 ? "/" : where.substr(0, slash);
  }
  return ::access(where.c_str(), W_OK) == 0;
}

// ---- who holds a device -------------------------------------------------

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

// "1234 (minicom)" for every other process with the device open; hidden
// is set when some processes' descriptors could not be read.
std::vector<std::string> Holders(const std::string& path, bool& hidden) {
  hidden = false;
  std::vector<std::string> out;
  const std::string target = RealPath(path);
  const std::string self = std::to_string(::getpid());
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    hidden = true;
    return out;
  }
  while (dirent* p = ::readdir(proc)) {
    if (p->d_name[0] < '0' || p->d_name[0] > '9' || self == p->d_name) continue;
    const std::string base = std::string("/proc/") + p->d_name;
    DIR* fds = ::opendir((base + "/fd").c_str());
    if (fds == nullptr) {
      if (errno == EACCES) hidden = true;
      continue;
    }
    bool holds = false;
    while (dirent* f = ::readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      char link[PATH_MAX];
      const ssize_t n = ::readlink((base + "/fd/" + f->d_name).c_str(), link, sizeof link - 1);
      if (n > 0 && std::string(link, static_cast<size_t>(n)) == target) {
        holds = true;
        break;
      }
    }
    ::closedir(fds);
    if (!holds) continue;
    std::string comm;
    std::ifstream(base + "/comm") >> comm;
    out.push_back(std::string(p->d_name) + (comm.empty() ? "" : " (" + comm + ")"));
  }
  ::closedir(proc);
  return out;
}

std::string BusyText(const std::string& path) {
  bool hidden = false;
  const std::vector<std::string> holders = Holders(path, hidden);
  std::string text = "busy - ";
  if (holders.empty()) {
    return text + (hidden ? "held by another program (run as root to see which)"
                          : "held by another program");
  }
  text += holders.size() == 1 ? "held by process " : "held by processes ";
  for (size_t i = 0; i < holders.size(); ++i) text += (i ? ", " : "") + holders[i];
  return text + "; close it or choose another port";
}

std::string DeniedText(const std::string& path) {
  struct stat st{};
  std::string owner;
  if (::stat(path.c_str(), &st) == 0) {
    if (const struct group* g = ::getgrgid(st.st_gid)) owner = g->gr_name;
  }
  std::string text = "permission denied - ";
  if (!owner.empty() && owner != "root") {
    text += "the device belongs to the group " + owner + "; add your user to it (sudo usermod -aG " + owner +
            " $USER, then log in again)";
  } else {
    text += "add your user to the group dialout (sudo usermod -aG dialout $USER, then log in again)";
  }
  return text + " or install the udev rule " + kUdevRuleDoc + " (docs/hardware.md)";
}

// ---- one port -------------------------------------------------------------

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string ErrnoText(const char* call, int error) {
  return std::string(call) + ": " + std::strerror(error);
}

bool Configure(int fd) {
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                         IXOFF | IXANY);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = kBaudRate;
  tio.c_ospeed = kBaudRate;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return ::ioctl(fd, TCSETS2, &tio) == 0;
}

// True when the line has modem lines (a pseudo-terminal has none).
bool ModemLine(int fd, int bit, bool on) {
  int bits = bit;
  return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}


PortFinding CheckPort(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {"missing", "does not exist", ""};
    return {"error", "cannot be examined (" + ErrnoText("stat", errno) + ")", ""};
  }
  Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    const int e = errno;
    if (e == EACCES || e == EPERM) return {"denied", DeniedText(path), ""};
    if (e == EBUSY) return {"busy", BusyText(path), ""};
    if (e == ENXIO || e == ENODEV || e == EIO)
      return {"missing", "exists, but no device is behind it (unplugged?) (" + ErrnoText("open", e) + ")", ""};
    return {"error", "cannot be opened (" + ErrnoText("open", e) + ")", ""};
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return {"busy", BusyText(path), ""};
    return {"error", "cannot be locked (" + ErrnoText("flock", errno) + ")", ""};
  }
  ::ioctl(fd.get(), TIOCEXCL);
  const bool modemLines = ModemLine(fd.get(), TIOCM_DTR, false);
  if (modemLines) ModemLine(fd.get(), TIOCM_RTS, false);
  if (!Configure(fd.get())) {
    return {"not-serial", "opened, but it is not a serial port (" + ErrnoText("ioctl(TCSETS2)", errno) + ")", ""};
  }
  if (modemLines) {
    ModemLine(fd.get(), TIOCM_DTR, true);
    SleepMs(kDtrPulseMs);
    ModemLine(fd.get(), TIOCM_DTR, false);
  }
  SleepMs(kSettleMs);
  std::string answer;
  size_t stray = 0;
  const int h = fd.get();
  auto write = [h](const uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(h, data + done, count - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{h, POLLOUT, 0};
        if (::poll(&p, 1, 500) <= 0) return false;
      } else if (n < 0 && errno != EINTR) {
        return false;
      }
    }
    return true;
  };
  auto read = [h](uint8_t* data, size_t capacity, int timeoutMs) -> int {
    pollfd p{h, POLLIN, 0};
    const int rc = ::poll(&p, 1, timeoutMs);
    if (rc < 0 && errno == EINTR) return 0;
    if (rc <= 0) return rc == 0 ? 0 : -1;
    const ssize_t n = ::read(h, data, capacity);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return n > 0 ? static_cast<int>(n) : -1;
  };
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    if (ProbeOnce(static_cast<uint8_t>(attempt + 1), write, read, answer, stray))
      return {"found", "VCI found - probe answer: " + answer, answer};
  }
  bool hidden = false;
  return Silent(stray, Holders(path, hidden));
}

// ---- discovery progress -----------------------------------------------------

// A short reason for a port the library skipped without opening it.
std::string SkipReason(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return "does not exist";
  if (::access(path.c_str(), R_OK | W_OK) != 0) return "permission denied";
  bool hidden = false;
  if (!Holders(path, hidden).empty()) return "busy";
  return "could not be opened";
}

}  // namespace

// The library opens the candidates one after the other. An inotify watch
// on each sees the library open it (IN_OPEN): "trying". A port before it
// that never opened was skipped (missing, denied, busy): "skipped" with
// the reason found now. One thread reads the events and prints; an
// eventfd stops it.
struct DiscoveryWatch::Impl {
  std::vector<std::string> ports;
  std::vector<int> wds;
  std::vector<bool> reported;  // "trying" or "skipped" printed
  size_t next = 0;             // ports before this one are reported
  int inotifyFd = -1;
  int stopFd = -1;
  std::thread thread;
  std::mutex lock;

  // Reports the ports before index as skipped (under lock).
  void SkipUpTo(size_t index) {
    for (; next < index; ++next) {
      if (reported[next]) continue;
      reported[next] = true;
      std::fprintf(stderr, "pdutool: %s skipped (%s)\n", ports[next].c_str(), SkipReason(ports[next]).c_str());
    }
  }

  void Run() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents & POLLIN) {
        const ssize_t n = ::read(inotifyFd, buf, sizeof buf);
        for (ssize_t at = 0; n > 0 && at < n;) {
          const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
          at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
          const auto it = std::find(wds.begin(), wds.end(), ev->wd);
          if (it == wds.end()) continue;
          const size_t index = static_cast<size_t>(it - wds.begin());
          std::lock_guard<std::mutex> guard(lock);
          if ((ev->mask & IN_OPEN) != 0 && index >= next) {
            SkipUpTo(index);
            reported[index] = true;
            next = index + 1;
            std::fprintf(stderr, "pdutool: trying %s ...\n", ports[index].c_str());
          }
        }
      }
      if (fds[1].revents & POLLIN) return;
    }
  }
};

DiscoveryWatch::DiscoveryWatch(const std::string& library) : impl_(std::make_unique<Impl>()) {
  if (library.find("pdu7318") == std::string::npos) return;
  std::string source;
  impl_->ports = CandidatePorts(source);
  impl_->reported.assign(impl_->ports.size(), false);
  impl_->inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  impl_->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl_->inotifyFd < 0 || impl_->stopFd < 0) return;
  for (const std::string& p : impl_->ports) impl_->wds.push_back(::inotify_add_watch(impl_->inotifyFd, p.c_str(), IN_OPEN));
  std::fprintf(stderr, "pdutool: looking for the VCI on %zu port%s (%s)\n", impl_->ports.size(),
               impl_->ports.size() == 1 ? "" : "s", source.c_str());
  impl_->thread = std::thread([this] { impl_->Run(); });
}

DiscoveryWatch::~DiscoveryWatch() {
  if (impl_->thread.joinable()) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t rc = ::write(impl_->stopFd, &one, sizeof one);
    impl_->thread.join();
  }
  if (impl_->inotifyFd >= 0) ::close(impl_->inotifyFd);
  if (impl_->stopFd >= 0) ::close(impl_->stopFd);
}

bool DiscoveryWatch::FinishedWithoutVci() {
  if (!impl_->thread.joinable()) return false;  // not this module, or no inotify
  // Stop the thread, then read on this thread the events it had not read
  // yet (Run returns after one pass: the stop event stays readable).
  uint64_t one = 1;
  [[maybe_unused]] ssize_t rc = ::write(impl_->stopFd, &one, sizeof one);
  impl_->thread.join();
  impl_->Run();  // stopFd is still readable: reads pending events once, then returns
  // The module holds the port of the VCI it found.
  bool held = false;
  size_t heldIndex = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* f = ::readdir(d)) {
      if (f->d_name[0] == '.') continue;
      char link[PATH_MAX];
      const ssize_t n = ::readlink((std::string("/proc/self/fd/") + f->d_name).c_str(), link, sizeof link - 1);
      if (n <= 0) continue;
      const std::string target(link, static_cast<size_t>(n));
      for (size_t i = 0; i < impl_->ports.size() && !held; ++i) {
        if (RealPath(impl_->ports[i]) == target) {
          held = true;
          heldIndex = i;
        }
      }
    }
    ::closedir(d);
  }
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (held) {
    std::fprintf(stderr, "pdutool: VCI found on %s\n", impl_->ports[heldIndex].c_str());
    return false;
  }
  impl_->SkipUpTo(impl_->ports.size());
  std::fprintf(stderr, "pdutool: no VCI answered on any port\n");
  return true;
}

namespace {

#endif

// ---- folders ----------------------------------------------------------------

void CheckAppFolder(json& findings, std::vector<std::string>& lines) {
  const std::string folder = AppFolder();
  const std::string mdf = folder + "MDF.xml";
  json app = {{"folder", folder}, {"mdf", mdf}};
  std::string line = "application folder " + folder + ": ";
  std::ifstream in(mdf);
  if (!in) {
    const bool exists = FileExists(mdf);
    app["state"] = exists ? "unreadable" : "missing";
    line += exists ? "MDF.xml cannot be read by this user"
                   : "MDF.xml is missing (set PDU7318_HOME or reinstall the package)";
  } else {
    std::stringstream text;
    text << in.rdbuf();
    TiXmlDocument doc;
    doc.Parse(text.str().c_str());
    const TiXmlElement* root = doc.FirstChildElement();
    if (doc.Error() || root == nullptr) {
      app["state"] = "invalid";
      line += std::string("MDF.xml cannot be loaded (") + (doc.Error() ? doc.ErrorDesc() : "no element") +
              (doc.Error() ? ", line " + std::to_string(doc.ErrorRow()) : "") + ")";
    } else {
      int resources = 0;
      for (const TiXmlElement* e = root->FirstChildElement("RESOURCE"); e != nullptr;
           e = e->NextSiblingElement("RESOURCE"))
        ++resources;
      app["state"] = "ok";
      app["resources"] = resources;
      line += "MDF.xml loaded, " + std::to_string(resources) + " resources";
    }
  }
  findings["application"] = app;
  lines.push_back(line);
}

void CheckLogFolder(json& findings, std::vector<std::string>& lines) {
  const std::string config = AppFolder() + "config.ini";
  const bool on = IniValue(config, "LOG", "open") == "1";
  std::string folder = LogFolder();
  json log = {{"on", on}, {"folder", folder.empty() ? "." : folder}};
  std::string line;
  if (!on) {
    log["state"] = "off";
    line = "log: off (" + config + " has no [LOG] open=1)";
  } else {
    std::string where;
    const bool writable = FolderWritable(folder.empty() ? "." : folder, where);
    log["state"] = writable ? "writable" : "not-writable";
    line = "log folder " + (folder.empty() ? std::string("(the current directory)") : folder) + ": " +
           (writable ? "writable" : "NOT writable by this user (" + where + "); set PDU7318_LOG_PATH");
  }
  findings["log"] = log;
  lines.push_back(line);
}

}  // namespace

bool DoctorCheck(json& findings, FILE* out) {
  std::vector<std::string> lines;
  CheckAppFolder(findings, lines);
  CheckLogFolder(findings, lines);
  std::string source;
  const std::vector<std::string> ports = CandidatePorts(source);
  findings["portSource"] = source;
  lines.push_back("ports (" + source + "): " + (ports.empty() ? "none" : std::to_string(ports.size())));
  if (out != nullptr) {
    for (const std::string& l : lines) std::fprintf(out, "%s\n", l.c_str());
    std::fflush(out);
  }
  json list = json::array();
  bool found = false;
  for (const std::string& port : ports) {
    const PortFinding f = CheckPort(port);
    json entry = {{"port", port}, {"state", f.state}, {"text", f.text}};
    if (!f.answer.empty()) entry["answer"] = f.answer;
    list.push_back(entry);
    if (out != nullptr) {
      std::fprintf(out, "  %s: %s\n", port.c_str(), f.text.c_str());
      std::fflush(out);
    }
    found = found || f.state == "found";
  }
  findings["ports"] = list;
  findings["vciFound"] = found;
  if (out != nullptr) {
    if (ports.empty()) {
      std::fprintf(out, "no candidate port: plug the VCI in (it appears as /dev/ttyUSBn or /dev/ttyACMn) "
                        "or list its device in PDU7318_PORTS\n");
    }
    std::fprintf(out, "%s\n", found ? "result: VCI found" : "result: no VCI answered");
    std::fflush(out);
  }
  return found;
}

int RunDoctor(bool jsonOut) {
  json doc = json::object();
  json findings = json::object();
  const bool found = DoctorCheck(findings, jsonOut ? nullptr : stdout);
  doc["command"] = "doctor";
  doc["doctor"] = findings;
  doc["ok"] = found;
  if (jsonOut) std::printf("%s\n", doc.dump(2).c_str());
  return found ? 0 : kExitNoVci;
}

}  // namespace pdutool
