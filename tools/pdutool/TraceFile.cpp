#include "TraceFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace pdutool {

TraceFile::~TraceFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool TraceFile::Open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string TraceFile::Line(double unixSeconds, const std::string& channel, uint32_t id, const uint8_t* data,
                            size_t n, const char* direction) {
  char head[64];
  // Identifiers above 0x7FF are 29-bit ones: eight digits, as candump does.
  std::snprintf(head, sizeof head, id > 0x7FF ? "(%.6f) %s %08X#" : "(%.6f) %s %03X#", unixSeconds,
                channel.c_str(), id);
  std::string line = head;
  if (n > 8) line += "#0";  // a CAN FD frame, no flags
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < n; ++i) {
    line += kDigits[data[i] >> 4];
    line += kDigits[data[i] & 15];
  }
  if (direction != nullptr) line += std::string(" ") + direction;
  return line;
}

void TraceFile::Write(const std::string& channel, uint32_t id, const std::vector<uint8_t>& data, bool transmit) {
  if (file_ == nullptr) return;
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(64, data.size() - at);
    std::fprintf(file_, "%s\n", Line(now, channel, id, data.data() + at, n, transmit ? "T" : "R").c_str());
    at += n;
  } while (at < data.size());
  std::fflush(file_);
}

}  // namespace pdutool
