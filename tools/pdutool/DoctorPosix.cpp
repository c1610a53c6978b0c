// pdutool doctor on Linux (DoctorOs.h) and the discovery progress of
// PDUConstruct (Doctor.h's DiscoveryWatch).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "Doctor.h"
#include "DoctorOs.h"
#include "device/DeviceLink.h"

namespace pdutool {
namespace doctor {
namespace {

// Where the package puts the udev rule (cmake/Install.cmake).
constexpr const char* kUdevRuleDoc = "/usr/share/doc/pdu7318/60-pdu7318.rules";

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

std::string Link(const std::string& path) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The index N of /dev/pts/N; -1 for any other device.
long PtyIndex(const std::string& device) {
  static const std::string kPts = "/dev/pts/";
  if (device.compare(0, kPts.size(), kPts) != 0 || device.size() == kPts.size()) return -1;
  char* end = nullptr;
  const long n = std::strtol(device.c_str() + kPts.size(), &end, 10);
  return *end == '\0' ? n : -1;
}

// True when the open file fd of the process in base is the master of the
// pseudo-terminal with index pty (its fdinfo names the index).
bool IsPtyMaster(const std::string& base, const char* fd, long pty) {
  const std::string target = Link(base + "/fd/" + fd);
  if (target != "/dev/ptmx" && target != "/dev/pts/ptmx") return false;
  std::ifstream info(base + "/fdinfo/" + fd);
  std::string key;
  long index = -1;
  while (info >> key) {
    if (key == "tty-index:" && info >> index) return index == pty;
  }
  return false;
}

// The processes holding a flock on the file (from /proc/locks, whose
// lines read "1: FLOCK  ADVISORY  WRITE 1234 00:05:7 0 EOF": pid, then
// the file system's major:minor in hex and the inode).
std::vector<std::string> FlockHolders(const std::string& path) {
  std::vector<std::string> out;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return out;
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream in(line);
    std::string n, kind, mode, access, pid, file;
    if (in >> n >> kind >> mode >> access >> pid >> file && kind == "FLOCK" && file == id) out.push_back(pid);
  }
  return out;
}

// "1234 (minicom)" for every other process with the device open; hidden
// is set when some processes' descriptors could not be read.
std::vector<std::string> Holders(const std::string& path, bool& hidden) {
  hidden = false;
  std::vector<std::string> out;
  const std::string target = RealPath(path);
  const long pty = PtyIndex(target);
  const std::vector<std::string> lockers = FlockHolders(target);
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
    bool farEnd = false;
    while (dirent* f = ::readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      if (Link(base + "/fd/" + f->d_name) == target) holds = true;
      if (pty >= 0 && IsPtyMaster(base, f->d_name, pty)) farEnd = true;
    }
    ::closedir(fds);
    // The far end of a pseudo-terminal holds the other side too; it is
    // only a holder when it also locked the port as the library does.
    if (!holds || (farEnd && std::find(lockers.begin(), lockers.end(), p->d_name) == lockers.end())) continue;
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
    return text + (hidden ? "held by another program (run as root to see which)" : "held by another program");
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

std::string PortSource() {
  return std::getenv("PDU7318_PORTS") != nullptr ? "PDU7318_PORTS" : "/dev/ttyUSB* and /dev/ttyACM*";
}

PortFinding OpenFailed(const std::string& path, bool busy, int error, const std::string& call) {
  if (busy) return {"busy", BusyText(path), ""};
  if (error == EACCES || error == EPERM) return {"denied", DeniedText(path), ""};
  if (error == ENOENT || error == ENOTDIR) return {"missing", "does not exist", ""};
  if (error == ENXIO || error == ENODEV || error == EIO)
    return {"missing", "exists, but no device is behind it (unplugged?) (" + ErrorText(call, error) + ")", ""};
  return {"error", "cannot be opened (" + ErrorText(call, error) + ")", ""};
}

std::string ErrorText(const std::string& call, int error) { return call + ": " + std::strerror(error); }

std::vector<std::string> OtherHolders(const std::string& path) {
  bool hidden = false;
  return Holders(path, hidden);
}

std::string NoPortHint() {
  return "plug the VCI in (it appears as /dev/ttyUSBn or /dev/ttyACMn) or list its device in PDU7318_PORTS";
}

// The candidate ports and the log folder come from the environment and
// the file system here (PortSource, the log line).
std::vector<std::string> SettingsRead() { return {}; }

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool FolderWritable(const std::string& folder, std::string& where) {
  where = folder;
  while (where.size() > 1 && ::access(where.c_str(), F_OK) != 0) {
    if (where.back() == '/') where.pop_back();
    const size_t slash = where.rfind('/');
    where = slash == std::string::npos ? "." : slash == 0 ? "/" : where.substr(0, slash);
  }
  // A log path naming a file (PDU7318_LOG_PATH=/var/log/pdu.log): no
  // folder can be made below it, whatever its permissions say.
  struct stat st {};
  if (::stat(where.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    where += " is a file, not a folder";
    return false;
  }
  // An attempt, not the permission bits: root passes access(W_OK) on
  // /proc or a read-only mount, where no file can be made. The library
  // creates the folders and then files in the deepest one; a file in the
  // nearest existing folder needs the same right.
  std::string probe = where;
  if (probe.back() != '/') probe += '/';
  probe += ".pdu7318-doctor-" + std::to_string(::getpid());
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

}  // namespace doctor

// ---- discovery progress -----------------------------------------------------

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
      std::fprintf(stderr, "pdutool: %s skipped (%s)\n", ports[next].c_str(),
                   doctor::SkipReason(ports[next]).c_str());
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
  pdu::device::FindSerialPorts(impl_->ports);
  impl_->reported.assign(impl_->ports.size(), false);
  impl_->inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  impl_->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl_->inotifyFd < 0 || impl_->stopFd < 0) return;
  for (const std::string& p : impl_->ports) impl_->wds.push_back(::inotify_add_watch(impl_->inotifyFd, p.c_str(), IN_OPEN));
  std::fprintf(stderr, "pdutool: looking for the VCI on %zu port%s (%s)\n", impl_->ports.size(),
               impl_->ports.size() == 1 ? "" : "s", doctor::PortSource().c_str());
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
  impl_->Run();
  // The module holds the port of the VCI it found.
  bool held = false;
  size_t heldIndex = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* f = ::readdir(d)) {
      if (f->d_name[0] == '.') continue;
      const std::string target = doctor::Link(std::string("/proc/self/fd/") + f->d_name);
      for (size_t i = 0; i < impl_->ports.size() && !held && !target.empty(); ++i) {
        if (doctor::RealPath(impl_->ports[i]) == target) {
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
