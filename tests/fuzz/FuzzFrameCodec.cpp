// Fuzz target: the frame codec (UnstuffFrame, CheckFrame, PeekStuffedCommand,
// StuffFrame, BuildFrame, FrameSplitter) on arbitrary bytes.
//
// Besides "no crash, no out-of-bounds access" it checks the codec's
// invariants:
//   - a frame CheckFrame accepts has its checksum index and closing flag
//     inside the bytes given;
//   - stuffing then unstuffing gives the bytes back, and the stuffed form
//     carries no 0x7E except its two flags;
//   - a frame built from the input data passes CheckFrame, and its command
//     byte is readable from the stuffed form;
//   - the splitter hands out only flag-to-flag segments within its buffer.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "device/DeviceFrame.h"

using namespace pdu::device;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint8_t unstuffed[kMaxBuiltFrame];
  static uint8_t stuffed[2 * kMaxBuiltFrame + 2];
  static uint8_t again[2 * kMaxBuiltFrame + 2];

  // The input read as a stuffed segment.
  const size_t n = UnstuffFrame(data, size, unstuffed, kMaxReceivedFrame);
  FUZZ_CHECK(n <= kMaxReceivedFrame);
  if (n > 0 && CheckFrame(unstuffed, n)) {
    const size_t l = FrameChecksumIndex(unstuffed);
    FUZZ_CHECK(l + 2 <= n);
    FUZZ_CHECK(unstuffed[l + 1] == kFrameFlag);
    FUZZ_CHECK(FrameDataLength(unstuffed) + kFrameHeaderSize == l);
    FUZZ_CHECK(FrameChecksum(unstuffed, l) == unstuffed[l]);
  }
  const int command = PeekStuffedCommand(data, size);
  FUZZ_CHECK(command >= -1 && command <= 0xFF);

  // Round trip: any bytes whose ends are not escape bytes come back whole.
  if (size >= 2 && size <= kMaxBuiltFrame && data[0] != kFrameEscape &&
      data[size - 1] != kFrameEscape) {
    const size_t s = StuffFrame(data, size, stuffed, sizeof stuffed);
    FUZZ_CHECK(s >= size && s <= 2 * size);
    for (size_t i = 1; i + 1 < s; ++i) FUZZ_CHECK(stuffed[i] != kFrameFlag);
    const size_t u = UnstuffFrame(stuffed, s, again, sizeof again);
    FUZZ_CHECK(u == size);
    FUZZ_CHECK(std::memcmp(again, data, size) == 0);
    // A buffer one byte short must be refused, never overrun.
    FUZZ_CHECK(StuffFrame(data, size, stuffed, s - 1) == 0);
  }

  // The input as the data of a frame: first byte channel, second command.
  if (size >= 2) {
    const size_t len = size - 2;
    const size_t f = BuildFrame(data[0], 0x5A, data[1], data + 2, len, unstuffed, sizeof unstuffed);
    if (len + kFrameOverhead <= sizeof unstuffed) {
      FUZZ_CHECK(f == len + kFrameOverhead);
      FUZZ_CHECK(CheckFrame(unstuffed, f));
      const size_t s = StuffFrame(unstuffed, f, stuffed, sizeof stuffed);
      FUZZ_CHECK(s > 0);
      FUZZ_CHECK(PeekStuffedCommand(stuffed, s) == data[1]);
    } else {
      FUZZ_CHECK(f == 0);
    }
  }

  // The input as a byte stream through the splitter.
  static FrameSplitter splitter;
  splitter.Reset();
  splitter.Push(data, size, [](const uint8_t* segment, size_t length) {
    FUZZ_CHECK(length >= 3 && length <= FrameSplitter::kCapacity);
    FUZZ_CHECK(segment[0] == kFrameFlag && segment[length - 1] == kFrameFlag);
    for (size_t i = 1; i + 1 < length; ++i) FUZZ_CHECK(segment[i] != kFrameFlag);
  });
  FUZZ_CHECK(splitter.Pending() <= size + 1);
  return 0;
}
