#include "Numbers.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace pdutool {

bool IsDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<uint32_t> ParseUnsigned(const std::string& text) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
}

std::optional<int32_t> ParseSigned(const std::string& text) {
  if (!text.empty() && text[0] == '-') {
    auto v = ParseUnsigned(text.substr(1));
    if (!v || *v > 0x80000000u) return std::nullopt;
    return static_cast<int32_t>(-static_cast<int64_t>(*v));
  }
  auto v = ParseUnsigned(text);
  if (!v || *v > 0x7FFFFFFFu) return std::nullopt;
  return static_cast<int32_t>(*v);
}

std::optional<uint32_t> ParseDurationMs(const std::string& text) {
  auto endsWith = [&](const char* suffix) {
    std::string s(suffix);
    return text.size() > s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0;
  };
  if (endsWith("ms")) return ParseUnsigned(text.substr(0, text.size() - 2));
  if (endsWith("s")) {
    const std::string number = text.substr(0, text.size() - 1);
    if (number.find_first_not_of("0123456789.") != std::string::npos || number[0] == '.') return std::nullopt;
    char* end = nullptr;
    double seconds = std::strtod(number.c_str(), &end);
    if (*end != '\0' || !std::isfinite(seconds) || seconds * 1000.0 > 4294967295.0) return std::nullopt;
    return static_cast<uint32_t>(std::lround(seconds * 1000.0));
  }
  if (text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return ParseUnsigned(text);
}

}  // namespace pdutool
