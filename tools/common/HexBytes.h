// Byte helpers of the tools: hex text as users type it and as traces and
// --json print it, and a reader of the little-endian fields the VCI puts on
// the wire. vcisim, pdutool and the frame decoder share these one copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hexbytes {

using Bytes = std::vector<uint8_t>;

// "22 F1 90", "22F190", "0x22 0xF1", "22:F1,90" -> bytes (empty text: no
// bytes); nullopt on anything else, also on an odd digit count inside a
// group ("2 2F").
std::optional<Bytes> ParseHex(std::string_view text);

// Upper-case hex with a blank between bytes ("62 F1 90").
std::string HexSpaced(const uint8_t* data, size_t n);
inline std::string HexSpaced(const Bytes& b) { return HexSpaced(b.data(), b.size()); }
// Printable ASCII of the bytes, '.' for the others.
std::string AsciiOf(const Bytes& b);

inline void PutU32(Bytes& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// Reads fields front to back and remembers when one ran past the end, so
// that a parser checks once at the end instead of before every field.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit Reader(const Bytes& b) : Reader(b.data(), b.size()) {}

  uint32_t U32() {
    if (!Need(4)) return 0;
    const uint8_t* p = data_ + pos_;
    pos_ += 4;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  uint8_t U8() { return Need(1) ? data_[pos_++] : 0; }
  Bytes Take(size_t n) {
    if (!Need(n)) return {};
    Bytes out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  size_t Remaining() const { return ok_ ? size_ - pos_ : 0; }
  bool Ok() const { return ok_; }

 private:
  bool Need(size_t n) {
    if (!ok_ || size_ - pos_ < n) ok_ = false;
    return ok_;
  }
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace hexbytes
