// --trace FILE: what a run put on the bus and took from it, for other tools.
//
// FILE is a candump log (`candump -L`, read by python-can's can.LogReader
// and can.player) and holds frame lines only, one per raw CAN frame that a
// link of a raw CAN resource sent (T) or received (R):
//
//   (1765041234.123456) link1 710#021003 T
//   (1765041234.127210) link1 18DB33F1#020100 R
//   (1765041234.130001) link1 7DF#R T
//
// with the frame's own identifier (three digits, eight for a 29-bit one),
// its 0 to 8 data bytes or R for a remote frame. The interface name is
// "link" and the link's handle (hCLL).
//
// Messages above the frame level (ISO 15765, KWP2000 on K-line, ...) were
// carried by transport frames that this tool never sees; written as CAN
// frames they would put frames in the log that were not on the bus. They go
// to the side file FILE.messages instead, one line each:
//
//   (1765041234.123456) link1 T 7E0 22 F1 90
//
// (direction, the link's request or response identifier, 000/001 where the
// link has none, the message's bytes).
//
// Times: StampNow(), taken when a request was started or an item fetched.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pdutool {

// The wall-clock time of the first call, advanced by the monotonic clock:
// frame times that a clock step (NTP) cannot reorder. Seconds since 1970.
double StampNow();

// A raw CAN frame as this module's raw resources carry it in both
// directions: the identifier word (u32 little-endian, bit 31 set for a
// 29-bit identifier, bit 30 for a remote frame), then 0 to 8 data bytes.
struct CanFrame {
  uint32_t id = 0;
  bool extended = false;
  bool remote = false;
  std::vector<uint8_t> data;
};
// False when the bytes are no raw frame (fewer than 4 or more than 12).
bool DecodeRawFrame(const uint8_t* d, size_t n, CanFrame& f);

class TraceFile {
 public:
  TraceFile() = default;
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // Opens (truncates) the file; false with the reason. The side file is
  // created with the first message.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return file_ != nullptr; }
  // One raw frame (transmit: from the tester) at unixSeconds.
  void WriteFrame(const std::string& channel, const CanFrame& f, bool transmit, double unixSeconds);
  // One message above the frame level, to the side file.
  void WriteMessage(const std::string& channel, uint32_t id, const std::vector<uint8_t>& data, bool transmit,
                    double unixSeconds);

  // The candump log line of one frame at unixSeconds (direction: "T", "R"
  // or null for none).
  static std::string Line(double unixSeconds, const std::string& channel, const CanFrame& f, const char* direction);

 private:
  FILE* file_ = nullptr;
  FILE* messages_ = nullptr;
  std::string path_;
};

}  // namespace pdutool
