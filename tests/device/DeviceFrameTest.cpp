// The frame codec: exact bytes of known frames, stuffing vectors, the
// validation rules and the stream splitter.
#include "device/DeviceFrame.h"

#include <gtest/gtest.h>

#include <vector>

namespace pdu::device {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Build(uint8_t channel, uint8_t sequence, uint8_t command, const Bytes& data) {
  Bytes out(kMaxBuiltFrame);
  size_t n = BuildFrame(channel, sequence, command, data.data(), data.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

Bytes Stuff(const Bytes& frame, size_t capacity = kMaxStuffedFrame) {
  Bytes out(capacity);
  out.resize(StuffFrame(frame.data(), frame.size(), out.data(), out.size()));
  return out;
}

Bytes Unstuff(const Bytes& stuffed) {
  Bytes out(kMaxReceivedFrame);
  out.resize(UnstuffFrame(stuffed.data(), stuffed.size(), out.data(), out.size()));
  return out;
}

TEST(DeviceFrame, KnownFramesHaveExactBytes) {
  struct Case { const char* what; uint8_t channel, sequence, command; Bytes data; Bytes wire; };
  Bytes probe = {0x7E, 0x1A, 0x00, 0x31, 0x01, 0x01, 0x01, 0x05, 0x10, 0x00};
  probe.insert(probe.end(), 16, 0x00);
  probe.insert(probe.end(), {0x63, 0x7E});
  const Case cases[] = {
      {"open, no data", kChannelVehicle, 1, 0x01, {},
       {0x7E, 0x0A, 0x00, 0x31, 0x01, 0x01, 0x12, 0x01, 0x00, 0x00, 0x50, 0x7E}},
      {"probe, 16 zero bytes", kChannelManagement, 1, 0x05, Bytes(16, 0), probe},
      {"flag in data", kChannelVehicle, 1, 0x1B, {0x7E, 0x00, 0x00, 0x00},
       {0x7E, 0x0E, 0x00, 0x31, 0x01, 0x01, 0x12, 0x1B, 0x04, 0x00, 0x7D, 0x5E, 0x00, 0x00, 0x00, 0xF0, 0x7E}},
      // 0B+31+01+01+12+1B+01+00 = 0x6C; data 0x11 makes the sum 0x7D.
      {"escape as checksum", kChannelVehicle, 1, 0x1B, {0x11},
       {0x7E, 0x0B, 0x00, 0x31, 0x01, 0x01, 0x12, 0x1B, 0x01, 0x00, 0x11, 0x7D, 0x5D, 0x7E}},
      {"flag as checksum", kChannelVehicle, 1, 0x1B, {0x12},
       {0x7E, 0x0B, 0x00, 0x31, 0x01, 0x01, 0x12, 0x1B, 0x01, 0x00, 0x12, 0x7D, 0x5E, 0x7E}},
      // 0x74 data bytes: L = 0x7E.
      {"flag as length", kChannelVehicle, 1, 0x10, Bytes(0x74, 0x00), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes frame = Build(c.channel, c.sequence, c.command, c.data);
    ASSERT_EQ(frame.size(), c.data.size() + 12);
    EXPECT_TRUE(CheckFrame(frame.data(), frame.size()));
    Bytes wire = Stuff(frame);
    if (!c.wire.empty()) {
      EXPECT_EQ(wire, c.wire);
    } else {
      ASSERT_GE(wire.size(), 4u);
      EXPECT_EQ(wire[1], 0x7D);
      EXPECT_EQ(wire[2], 0x5E);
    }
    EXPECT_EQ(Unstuff(wire), frame);
  }
}

TEST(DeviceFrame, StuffingRoundTripsEveryByteValue) {
  Bytes data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<uint8_t>(i));
  data.insert(data.end(), {0x7E, 0x7E, 0x7D, 0x7D, 0x7D, 0x5E, 0x7D, 0x5D});
  Bytes frame = Build(kChannelVehicle, 0x7E, 0x7D, data);
  Bytes wire = Stuff(frame);
  for (size_t i = 1; i + 1 < wire.size(); ++i) EXPECT_NE(wire[i], kFrameFlag) << "at " << i;
  EXPECT_EQ(Unstuff(wire), frame);
}

// (A frame that does not fit or stuffs beyond 5120 bytes:
// DeviceLinkTest.FrameThatStuffsBeyond5120BytesIsNotSent, through the send.)

TEST(DeviceFrame, UnstuffRejectsBadEscapes) {
  const Bytes bad[] = {
      {0x7E, 0x7D, 0x00, 0x7E},  // 7D before an ordinary byte
      {0x7E, 0x7D, 0x7E},        // 7D before a flag
      {0x7E, 0x00, 0x7D},        // 7D as last byte
  };
  for (const Bytes& b : bad) EXPECT_TRUE(Unstuff(b).empty());
}

TEST(DeviceFrame, CheckFrameRejectsDamagedFrames) {
  const Bytes good = Build(kChannelVehicle, 1, 0x01, {0x00, 0x00, 0x00, 0x00});
  ASSERT_TRUE(CheckFrame(good.data(), good.size()));
  struct Case { const char* what; size_t index; uint8_t value; };
  const Case cases[] = {
      {"opening flag", 0, 0x00}, {"checksum", 14, 0x00}, {"length field L", 1, 0x0F}, {"data length field", 8, 0x05},
      {"closing flag", 15, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes f = good;
    f[c.index] = c.value;
    EXPECT_FALSE(CheckFrame(f.data(), f.size()));
  }
  EXPECT_FALSE(CheckFrame(good.data(), good.size() - 1)) << "cut frame";
  const Bytes eleven = {0x7E, 0x09, 0x00, 0x31, 0x01, 0x01, 0x12, 0x01, 0xFF, 0xFF, 0x7E};
  EXPECT_FALSE(CheckFrame(eleven.data(), eleven.size())) << "short frame";
  // Bytes 3-5 are not examined.
  Bytes other = good;
  other[3] = 0x32;
  other[5] = 0x02;
  other[14] = static_cast<uint8_t>(other[14] + 2);
  EXPECT_TRUE(CheckFrame(other.data(), other.size()));
}

TEST(DeviceFrame, PeekReadsCommandThroughEscapes) {
  Bytes frame = Build(kChannelVehicle, 0x7E, 0x1E, {0x01});
  Bytes wire = Stuff(frame);
  ASSERT_EQ(wire[4], 0x7D);  // the sequence byte is escaped
  EXPECT_EQ(PeekStuffedCommand(wire.data(), wire.size()), 0x1E);
  frame = Build(kChannelVehicle, 1, 0x7D, {});
  wire = Stuff(frame);
  EXPECT_EQ(PeekStuffedCommand(wire.data(), wire.size()), 0x7D);
  EXPECT_EQ(PeekStuffedCommand(wire.data(), 5), -1);
}

TEST(DeviceFrame, SplitterFindsFramesByteByByteAndResynchronises) {
  Bytes a = Stuff(Build(kChannelVehicle, 1, 0x01, {0x7E, 0x7D}));
  Bytes b = Stuff(Build(kChannelManagement, 2, 0x05, {}));
  Bytes stream = {0x11, 0x22};  // noise before the first flag
  stream.insert(stream.end(), a.begin(), a.end());
  stream.push_back(0x7E);  // a stray flag: "7E 7E" restarts the frame
  stream.insert(stream.end(), b.begin(), b.end());

  for (size_t chunk : {stream.size(), size_t{1}, size_t{3}}) {
    SCOPED_TRACE(chunk);
    FrameSplitter splitter;
    std::vector<Bytes> seen;
    for (size_t i = 0; i < stream.size(); i += chunk) {
      size_t n = std::min(chunk, stream.size() - i);
      splitter.Push(stream.data() + i, n, [&](const uint8_t* s, size_t len) { seen.emplace_back(s, s + len); });
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], a);
    EXPECT_EQ(seen[1], b);
    EXPECT_EQ(splitter.Pending(), 0u);
  }
}

}  // namespace
}  // namespace pdu::device
