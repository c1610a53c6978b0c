// DeviceFrame: the unit of every exchange with the VCI on the serial port.
//
// Unstuffed layout (n = data length, L = n + 10; words little-endian):
//
//   byte      width  content
//   0         1      opening flag 0x7E
//   1-2       2      L, the index of the checksum byte (u16)
//   3         1      0x31 ('1')
//   4         1      sequence number: low byte of the channel's frame counter
//   5         1      0x01
//   6         1      channel: 0x01 management, 0x12 vehicle
//   7         1      command byte
//   8-9       2      n (u16)
//   10..9+n   n      data
//   L         1      checksum: sum of bytes 1..L-1 modulo 256 (the opening
//                    flag is not summed)
//   L+1       1      closing flag 0x7E
//
// A frame is n + 12 bytes; the shortest (no data) is 12.
//
// Stuffing: the two flags go out as they are; every 0x7E between them is
// sent as 7D 5E and every 0x7D as 7D 5D, checksum and length bytes
// included. Unstuffing reverses that; 0x7D followed by anything else, or as
// the last byte, makes the frame invalid. So a 0x7E on the wire is always a
// flag, and the stream splits into frames at flags alone.
//
// Worked example: vehicle channel, sequence 1, command 0x1B, data 7E 00 00 00
//
//   unstuffed  7E 0E 00 31 01 01 12 1B 04 00 7E 00 00 00 F0 7E
//              L = 0x0E; checksum 0E+31+01+01+12+1B+04+7E = 0xF0
//   on wire    7E 0E 00 31 01 01 12 1B 04 00 7D 5E 00 00 00 F0 7E
//
// Everything here is a pure function on caller buffers: no state, no
// allocation, no log. The device link, the test VCI and the simulator
// share it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pdu::device {

inline constexpr uint8_t kFrameFlag = 0x7E;
inline constexpr uint8_t kFrameEscape = 0x7D;
inline constexpr uint8_t kEscapedFlag = 0x5E;    // 7D 5E stands for 7E
inline constexpr uint8_t kEscapedEscape = 0x5D;  // 7D 5D stands for 7D

inline constexpr uint8_t kChannelManagement = 0x01;
inline constexpr uint8_t kChannelVehicle = 0x12;

// Command bytes (byte 7). All go out on the vehicle channel and are
// answered there, except PROBE, which uses the management channel;
// VEHICLE_DATA comes from the VCI unasked.
enum VciCommand : uint8_t {
  VCI_CMD_OPEN = 0x01,
  VCI_CMD_CLOSE = 0x02,
  VCI_CMD_IOCTL = 0x03,
  VCI_CMD_PROBE = 0x05,
  VCI_CMD_SET_LINK_RESOURCE = 0x08,
  VCI_CMD_DESTROY_LINK = 0x09,
  VCI_CMD_DISCONNECT_LINK = 0x0B,
  VCI_CMD_SET_LINK_PARAM = 0x0F,
  VCI_CMD_COP = 0x10,
  VCI_CMD_CONNECT_LINK = 0x1A,
  VCI_CMD_MODULE_CONNECT = 0x1B,
  VCI_CMD_MODULE_DISCONNECT = 0x1C,
  VCI_CMD_VEHICLE_DATA = 0x1E,
};

inline constexpr size_t kFrameHeaderSize = 10;  // bytes before the data
inline constexpr size_t kFrameOverhead = 12;    // header + checksum + closing flag
inline constexpr size_t kMinFrameSize = 12;

// Byte offsets of the unstuffed frame.
inline constexpr size_t kFrameOffChannel = 6;
inline constexpr size_t kFrameOffCommand = 7;
inline constexpr size_t kFrameOffDataLength = 8;
inline constexpr size_t kFrameOffData = 10;

// Buffer sizes of the link: an unstuffed frame is built in 10240 bytes and
// stuffed into 5120, so the largest frame the library sends is limited by
// its stuffed size; received frames are at most 5000 bytes unstuffed.
inline constexpr size_t kMaxBuiltFrame = 10240;
inline constexpr size_t kMaxStuffedFrame = 5120;
inline constexpr size_t kMaxReceivedFrame = 5000;

// The largest data length the 16-bit length fields can carry.
inline constexpr size_t kMaxFrameData = 0xFFFF - kFrameHeaderSize;

// Builds the unstuffed frame into out. Returns its length n + 12, or 0
// when n exceeds kMaxFrameData or the frame does not fit into capacity.
size_t BuildFrame(uint8_t channel, uint8_t sequence, uint8_t command, const uint8_t* data,
                  size_t n, uint8_t* out, size_t capacity);

// Additive checksum of bytes 1..L-1 of an unstuffed frame.
uint8_t FrameChecksum(const uint8_t* frame, size_t checksumIndex);

// Stuffs a whole unstuffed frame (flags included) into out. Returns the
// stuffed length, or 0 when it would exceed capacity or the input is not
// at least two bytes.
size_t StuffFrame(const uint8_t* frame, size_t count, uint8_t* out, size_t capacity);

// Unstuffs a whole stuffed frame (flags included) into out. Returns the
// unstuffed length, or 0 on a bad escape or when it exceeds capacity.
size_t UnstuffFrame(const uint8_t* stuffed, size_t count, uint8_t* out, size_t capacity);

// True when the unstuffed bytes form a valid frame: at least 12 bytes,
// opening flag, L + 2 <= count with the closing flag at L + 1, L equal to
// the data length + 10, checksum right. Bytes 3-5 are not looked at.
bool CheckFrame(const uint8_t* frame, size_t count);

// Field readers of an unstuffed frame (no checks beyond the bounds the
// caller already verified with CheckFrame).
inline uint16_t FrameChecksumIndex(const uint8_t* frame) {
  return static_cast<uint16_t>(frame[1] | (frame[2] << 8));
}
inline uint16_t FrameDataLength(const uint8_t* frame) {
  return static_cast<uint16_t>(frame[kFrameOffDataLength] | (frame[kFrameOffDataLength + 1] << 8));
}

// The command byte (byte 7) of a stuffed frame segment that starts with a
// flag, unstuffing only as far as needed; -1 when the segment is too short
// or badly escaped before that byte.
int PeekStuffedCommand(const uint8_t* stuffed, size_t count);

// Where the next frame segment of a buffer stands: the one rule of the
// receive side for splitting a byte stream at flags. Bytes before the first
// flag are noise (the tail of a frame whose start was lost); a flag directly
// followed by a flag is a lost closing flag and the next one opens the frame
// (an empty frame cannot be valid); a segment runs from its opening flag to
// the next flag, both included, so it is at least 3 bytes long.
struct SegmentScan {
  uint32_t noise = 0;   // bytes before the first flag
  uint32_t strays = 0;  // flags that were directly followed by a flag
  uint32_t length = 0;  // the segment, after noise and strays; 0: not closed yet
};
inline SegmentScan ScanSegment(const uint8_t* buffer, size_t length) {
  SegmentScan scan;
  size_t open = 0;
  if (length == 0 || buffer[0] != kFrameFlag) {  // the common case starts at a flag
    const void* flag = std::memchr(buffer, kFrameFlag, length);
    if (flag == nullptr) {
      scan.noise = static_cast<uint32_t>(length);
      return scan;
    }
    open = static_cast<size_t>(static_cast<const uint8_t*>(flag) - buffer);
    scan.noise = static_cast<uint32_t>(open);
  }
  while (open + 1 < length && buffer[open + 1] == kFrameFlag) {
    ++open;
    ++scan.strays;
  }
  if (open + 1 >= length) return scan;
  const void* close = std::memchr(buffer + open + 1, kFrameFlag, length - open - 1);
  if (close != nullptr) scan.length = static_cast<uint32_t>(static_cast<const uint8_t*>(close) - (buffer + open) + 1);
  return scan;
}

// Splits a byte stream fed in pieces (the test VCI and the simulator; the
// link's receive path keeps its raw buffer in the DeviceLink and scans it
// with ScanSegment too). Each time a frame segment (still stuffed) is
// complete, the sink is called with it. A segment longer than the buffer is
// dropped up to its closing flag.
class FrameSplitter {
 public:
  static constexpr size_t kCapacity = 2 * kMaxStuffedFrame;

  // Calls sink(const uint8_t* segment, size_t length) per complete segment.
  template <typename Sink>
  void Push(const uint8_t* bytes, size_t count, Sink&& sink) {
    while (count > 0) {
      if (discarding_) {
        const void* flag = std::memchr(bytes, kFrameFlag, count);
        if (flag == nullptr) return;
        const size_t through = static_cast<size_t>(static_cast<const uint8_t*>(flag) - bytes) + 1;
        bytes += through;
        count -= through;
        discarding_ = false;
        ++dropped_;
        continue;
      }
      const size_t take = std::min(count, kCapacity - length_);
      std::memcpy(buffer_ + length_, bytes, take);
      length_ += take;
      bytes += take;
      count -= take;
      size_t start = 0;
      for (;;) {
        const SegmentScan scan = ScanSegment(buffer_ + start, length_ - start);
        start += scan.noise + scan.strays;
        if (scan.length == 0) break;
        sink(static_cast<const uint8_t*>(buffer_ + start), static_cast<size_t>(scan.length));
        start += scan.length;
      }
      std::memmove(buffer_, buffer_ + start, length_ - start);
      length_ -= start;
      if (length_ == kCapacity) {  // full, and still no closing flag
        length_ = 0;
        discarding_ = true;
      }
    }
  }

  void Reset() {
    length_ = 0;
    discarding_ = false;
  }
  size_t Pending() const { return length_; }
  size_t Dropped() const { return dropped_; }

 private:
  uint8_t buffer_[kCapacity] = {};
  size_t length_ = 0;
  bool discarding_ = false;
  size_t dropped_ = 0;
};

}  // namespace pdu::device
