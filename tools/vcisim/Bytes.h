// Small byte helpers of the simulator: little-endian words as the VCI puts
// them on the wire, and hex text as scenario files and the trace write it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vcisim {

using Bytes = std::vector<uint8_t>;

inline void PutU32(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 24));
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
  uint8_t U8() {
    if (!Need(1)) return 0;
    return data_[pos_++];
  }
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
    if (!ok_ || size_ - pos_ < n) {
      ok_ = false;
      return false;
    }
    return true;
  }
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// "22 F1 90", "22F190", "0x22 0xF1" -> bytes; nullopt on anything else.
std::optional<Bytes> ParseHex(std::string_view text);
// Upper-case hex with a blank between bytes ("62 F1 90").
std::string HexSpaced(const uint8_t* data, size_t n);
inline std::string HexSpaced(const Bytes& b) { return HexSpaced(b.data(), b.size()); }
// Printable ASCII of the bytes, '.' for the others.
std::string AsciiOf(const Bytes& b);

}  // namespace vcisim
