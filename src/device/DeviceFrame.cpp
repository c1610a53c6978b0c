// Frame build, stuffing and validation; the layout is described in
// DeviceFrame.h.
#include "device/DeviceFrame.h"

#include <cstring>

namespace pdu::device {

size_t BuildFrame(uint8_t channel, uint8_t sequence, uint8_t command, const uint8_t* data,
                  size_t n, uint8_t* out, size_t capacity) {
  if (n > kMaxFrameData || n + kFrameOverhead > capacity) return 0;
  const size_t l = n + kFrameHeaderSize;
  out[0] = kFrameFlag;
  out[1] = static_cast<uint8_t>(l & 0xFF);
  out[2] = static_cast<uint8_t>(l >> 8);
  out[3] = 0x31;
  out[4] = sequence;
  out[5] = 0x01;
  out[kFrameOffChannel] = channel;
  out[kFrameOffCommand] = command;
  out[kFrameOffDataLength] = static_cast<uint8_t>(n & 0xFF);
  out[kFrameOffDataLength + 1] = static_cast<uint8_t>(n >> 8);
  if (n > 0) std::memcpy(out + kFrameOffData, data, n);
  out[l] = FrameChecksum(out, l);
  out[l + 1] = kFrameFlag;
  return l + 2;
}

uint8_t FrameChecksum(const uint8_t* frame, size_t checksumIndex) {
  uint32_t sum = 0;
  for (size_t i = 1; i < checksumIndex; ++i) sum += frame[i];
  return static_cast<uint8_t>(sum & 0xFF);
}

size_t StuffFrame(const uint8_t* frame, size_t count, uint8_t* out, size_t capacity) {
  if (count < 2 || capacity < 2) return 0;
  size_t o = 0;
  out[o++] = frame[0];
  // The closing flag needs the last slot: inner bytes end at capacity - 2.
  const size_t innerLimit = capacity - 1;
  for (size_t i = 1; i + 1 < count; ++i) {
    const uint8_t b = frame[i];
    if (b == kFrameFlag || b == kFrameEscape) {
      if (o + 2 > innerLimit) return 0;
      out[o++] = kFrameEscape;
      out[o++] = (b == kFrameFlag) ? kEscapedFlag : kEscapedEscape;
    } else {
      if (o + 1 > innerLimit) return 0;
      out[o++] = b;
    }
  }
  out[o++] = frame[count - 1];
  return o;
}

namespace {

// The plain byte at stuffed[i]; an escape pair is read whole (i is left on
// its second byte). False for an escape at the end or before anything but
// 0x5E/0x5D.
bool PlainByteAt(const uint8_t* stuffed, size_t count, size_t& i, uint8_t& b) {
  b = stuffed[i];
  if (b != kFrameEscape) return true;
  if (i + 1 >= count) return false;
  const uint8_t next = stuffed[++i];
  if (next == kEscapedFlag) {
    b = kFrameFlag;
  } else if (next == kEscapedEscape) {
    b = kFrameEscape;
  } else {
    return false;
  }
  return true;
}

}  // namespace

size_t UnstuffFrame(const uint8_t* stuffed, size_t count, uint8_t* out, size_t capacity) {
  // The receive path's hot loop (every byte of every frame): plain bytes are
  // copied without a call.
  size_t o = 0;
  for (size_t i = 0; i < count; ++i) {
    uint8_t b = stuffed[i];
    if (b == kFrameEscape && !PlainByteAt(stuffed, count, i, b)) return 0;
    if (o >= capacity) return 0;
    out[o++] = b;
  }
  return o;
}

bool CheckFrame(const uint8_t* frame, size_t count) {
  if (count < kMinFrameSize) return false;
  if (frame[0] != kFrameFlag) return false;
  const size_t l = FrameChecksumIndex(frame);
  if (l + 2 > count || frame[l + 1] != kFrameFlag) return false;
  if (l != static_cast<size_t>(FrameDataLength(frame)) + kFrameHeaderSize) return false;
  return FrameChecksum(frame, l) == frame[l];
}

int PeekStuffedCommand(const uint8_t* stuffed, size_t count) {
  size_t index = 0;  // unstuffed index of the byte read next
  for (size_t i = 0; i < count; ++i, ++index) {
    uint8_t b = 0;
    if (!PlainByteAt(stuffed, count, i, b)) return -1;
    if (index == kFrameOffCommand) return b;
  }
  return -1;
}

}  // namespace pdu::device
