#include "VciPort.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <vector>

namespace pdutool {

namespace {

// The real paths of the files the process has open, fds 3 and up (0-2
// may be a terminal of the same kind as a simulated VCI).
std::vector<std::string> OpenFiles() {
  std::vector<std::string> out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return out;
  while (dirent* e = ::readdir(dir)) {
    const int fd = std::atoi(e->d_name);
    if (fd < 3) continue;
    char target[PATH_MAX];
    const std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0) out.emplace_back(target, static_cast<size_t>(n));
  }
  ::closedir(dir);
  return out;
}

}  // namespace

std::string VciPortName() {
  std::vector<std::string> candidates;
  if (const char* ports = std::getenv("PDU7318_PORTS")) {
    std::stringstream in(ports);
    for (std::string p; std::getline(in, p, ':');) {
      if (!p.empty()) candidates.push_back(p);
    }
  }
  const std::vector<std::string> open = OpenFiles();
  for (const std::string& c : candidates) {
    char real[PATH_MAX];
    if (::realpath(c.c_str(), real) == nullptr) continue;
    for (const std::string& f : open) {
      if (f == real) return c;
    }
  }
  for (const std::string& f : open) {
    if (f.rfind("/dev/ttyUSB", 0) == 0 || f.rfind("/dev/ttyACM", 0) == 0) return f;
  }
  return "the VCI's port";
}

std::string SystemErrorText(unsigned code) { return std::strerror(static_cast<int>(code)); }

}  // namespace pdutool
