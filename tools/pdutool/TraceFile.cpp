#include "TraceFile.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace pdutool {

double StampNow() {
  using namespace std::chrono;
  static const double anchorWall = duration<double>(system_clock::now().time_since_epoch()).count();
  static const steady_clock::time_point anchor = steady_clock::now();
  return anchorWall + duration<double>(steady_clock::now() - anchor).count();
}

bool DecodeRawFrame(const uint8_t* d, size_t n, CanFrame& f) {
  if (d == nullptr || n < 4 || n > 12) return false;
  const uint32_t word = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
  f.extended = (word & 0x80000000u) != 0;
  f.remote = (word & 0x40000000u) != 0;
  f.id = word & (f.extended ? 0x1FFFFFFFu : 0x7FFu);
  f.data.assign(d + 4, d + n);
  return true;
}

TraceFile::~TraceFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (messages_ != nullptr) std::fclose(messages_);
}

bool TraceFile::Open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

std::string TraceFile::Line(double unixSeconds, const std::string& channel, const CanFrame& f,
                            const char* direction) {
  char head[64];
  // candump tells a 29-bit identifier by its eight digits, whatever its value.
  std::snprintf(head, sizeof head, f.extended ? "(%.6f) %s %08X#" : "(%.6f) %s %03X#", unixSeconds,
                channel.c_str(), f.id);
  std::string line = head;
  if (f.remote) {
    line += 'R';
  } else {
    static const char kDigits[] = "0123456789ABCDEF";
    for (uint8_t b : f.data) {
      line += kDigits[b >> 4];
      line += kDigits[b & 15];
    }
  }
  if (direction != nullptr) line += std::string(" ") + direction;
  return line;
}

void TraceFile::WriteFrame(const std::string& channel, const CanFrame& f, bool transmit, double unixSeconds) {
  if (file_ == nullptr) return;
  std::fprintf(file_, "%s\n", Line(unixSeconds, channel, f, transmit ? "T" : "R").c_str());
  std::fflush(file_);
}

void TraceFile::WriteMessage(const std::string& channel, uint32_t id, const std::vector<uint8_t>& data,
                             bool transmit, double unixSeconds) {
  if (file_ == nullptr) return;
  if (messages_ == nullptr) {
    messages_ = std::fopen((path_ + ".messages").c_str(), "w");
    if (messages_ == nullptr) return;
  }
  std::fprintf(messages_, "(%.6f) %s %c %03X", unixSeconds, channel.c_str(), transmit ? 'T' : 'R', id);
  for (uint8_t b : data) std::fprintf(messages_, " %02X", b);
  std::fputc('\n', messages_);
  std::fflush(messages_);
}

}  // namespace pdutool
