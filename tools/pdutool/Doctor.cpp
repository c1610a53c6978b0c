// pdutool doctor and the discovery progress of PDUConstruct (Doctor.h).
//
// The port check repeats the library's opening sequence with its own code
// (pdutool uses nothing of the library but its exported functions and the
// frame codec): open for exclusive use (TIOCEXCL and an advisory flock,
// the lock every user of the library takes), DTR and RTS low, raw 8N1 at
// 1,500,000 baud, a 50 ms DTR pulse, 500 ms for the VCI to settle, then at
// most two probes (command 0x05 on the management channel, 16 zero bytes)
// with 1100 ms each for a management frame with data.
#include "Doctor.h"

#ifdef _WIN32

namespace pdutool {

bool DoctorCheck(nlohmann::json& findings, FILE* out) {
  findings["ports"] = nlohmann::json::array();
  if (out != nullptr) std::fprintf(out, "pdutool doctor is not available on Windows yet; see docs/hardware.md\n");
  return false;
}

int RunDoctor(bool json) {
  nlohmann::json doc = nlohmann::json::object();
  nlohmann::json findings = nlohmann::json::object();
  DoctorCheck(findings, json ? nullptr : stdout);
  doc["command"] = "doctor";
  doc["doctor"] = findings;
  if (json) std::printf("%s\n", doc.dump(2).c_str());
  return kExitNoVci;
}

struct DiscoveryWatch::Impl {};
DiscoveryWatch::DiscoveryWatch(const std::string&) {}
DiscoveryWatch::~DiscoveryWatch() = default;
bool DiscoveryWatch::FinishedWithoutVci() { return false; }

}  // namespace pdutool

#else  // Linux

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

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <tinyxml.h>

#include "device/DeviceFrame.h"

namespace pdutool {
namespace {

using nlohmann::json;
namespace dev = pdu::device;

constexpr unsigned kBaudRate = 1500000;
constexpr int kDtrPulseMs = 50;
constexpr int kSettleMs = 500;
constexpr int kProbeWaitMs = 1100;
constexpr int kProbeAttempts = 2;
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

// The log folder the library would use; "" for the current directory.
std::string LogFolder() {
  const char* v = std::getenv("PDU7318_LOG_PATH");
  if (v == nullptr) return "";
  std::string s(v);
  if (s.size() > 255) s.resize(255);
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s + "/J2534/7318/";
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

struct PortFinding {
  std::string state;  // missing, denied, busy, not-serial, silent, found, error
  std::string text;   // the plain-English line
  std::string answer; // probe answer (hex) when found
};

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

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Sends one probe and waits for a management frame with data. stray
// counts bytes that came back without forming such a frame.
bool ProbeOnce(int fd, uint8_t sequence, std::string& answer, size_t& stray) {
  static const uint8_t kZeros[16] = {};
  uint8_t frame[64];
  uint8_t stuffed[128];
  const size_t len = dev::BuildFrame(dev::kChannelManagement, sequence, dev::VCI_CMD_PROBE, kZeros,
                                     sizeof kZeros, frame, sizeof frame);
  const size_t slen = dev::StuffFrame(frame, len, stuffed, sizeof stuffed);
  size_t done = 0;
  while (done < slen) {
    const ssize_t n = ::write(fd, stuffed + done, slen - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 500) <= 0) return false;
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  std::vector<uint8_t> buf;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeWaitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                            std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    uint8_t chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return false;  // hung up
    }
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
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    if (ProbeOnce(fd.get(), static_cast<uint8_t>(attempt + 1), answer, stray))
      return {"found", "VCI found - probe answer: " + answer, answer};
  }
  std::string text = "opened, but no answer to the probe";
  // A program that keeps the port open without locking it (a getty,
  // ModemManager probing a new ttyACM) may be taking the answers.
  bool hidden = false;
  const std::vector<std::string> others = Holders(path, hidden);
  if (!others.empty()) {
    text += " (also open in process " + others.front() + ", which may take the answers)";
  } else if (stray > 0) {
    text += " (" + std::to_string(stray) +
            " bytes came back that are no frame of the VCI: another device, or a wrong baud rate)";
  } else {
    text += " (is the VCI powered? it takes its power from the vehicle's diagnostic socket)";
  }
  return {"silent", text, ""};
}

// ---- folders ----------------------------------------------------------------

void CheckAppFolder(json& findings, std::vector<std::string>& lines) {
  const std::string folder = AppFolder();
  const std::string mdf = folder + "MDF.xml";
  json app = {{"folder", folder}, {"mdf", mdf}};
  std::string line = "application folder " + folder + ": ";
  std::ifstream in(mdf);
  if (!in) {
    app["state"] = ::access(mdf.c_str(), F_OK) == 0 ? "unreadable" : "missing";
    line += ::access(mdf.c_str(), F_OK) == 0 ? "MDF.xml cannot be read by this user"
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
    // The folder or the nearest existing parent must be writable.
    std::string probe = folder.empty() ? "." : folder;
    while (probe.size() > 1 && ::access(probe.c_str(), F_OK) != 0) {
      if (probe.back() == '/') probe.pop_back();
      const size_t slash = probe.rfind('/');
      probe = slash == std::string::npos ? "." : slash == 0 ? "/" : probe.substr(0, slash);
    }
    const bool writable = ::access(probe.c_str(), W_OK) == 0;
    log["state"] = writable ? "writable" : "not-writable";
    line = "log folder " + (folder.empty() ? std::string("(the current directory)") : folder) + ": " +
           (writable ? "writable" : "NOT writable by this user (" + probe + "); set PDU7318_LOG_PATH");
  }
  findings["log"] = log;
  lines.push_back(line);
}

// ---- discovery progress -----------------------------------------------------

// A one-word reason for a port the library skipped without opening it.
std::string SkipReason(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return "does not exist";
  if (::access(path.c_str(), R_OK | W_OK) != 0) return "permission denied";
  bool hidden = false;
  if (!Holders(path, hidden).empty()) return "busy";
  return "could not be opened";
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

// The library opens the candidates one after the other. An inotify watch
// on each sees the open (IN_OPEN) and the close (IN_CLOSE); a port that
// never opens was skipped (missing, denied, busy). One thread reads the
// events and prints; an eventfd stops it.
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
  // Events of the last opens may still be in the queue: the stop comes
  // after them in the thread's poll only if read first, so drain by
  // stopping and then reading what is left.
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

}  // namespace pdutool

#endif
