// --trace FILE: the requests and answers of a run in candump log format
// (`candump -L`, read by python-can's can.LogReader and can.player):
//
//   (1765041234.123456) link1 7E0##0223F190 T
//
// One line per request (T, on the link's request identifier) and per
// answer (R, on its response identifier), with the wall-clock time the
// request was started or the answer was fetched. The lines carry the
// diagnostic messages as the application sees them, not the transport
// segments on the bus: up to 8 bytes a classic frame (ID#DATA), longer
// ones CAN FD frames (ID##0DATA) of up to 64 bytes each. The interface
// name is "link" and the link's handle (hCLL).
// Links without CAN identifiers (K-line, J1850, ...) use 000 for requests
// and 001 for answers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pdutool {

class TraceFile {
 public:
  TraceFile() = default;
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // Opens (truncates) the file; false with the reason.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return file_ != nullptr; }
  // One message; transmit: from the tester. Times are taken now.
  void Write(const std::string& channel, uint32_t id, const std::vector<uint8_t>& data, bool transmit);

  // The candump log line of one frame (at most 64 bytes) at unixSeconds.
  static std::string Line(double unixSeconds, const std::string& channel, uint32_t id, const uint8_t* data,
                          size_t n, const char* direction);

 private:
  FILE* file_ = nullptr;
};

}  // namespace pdutool
