// Strict reading of the numbers pdutool is given: the whole text must be
// the number, so "abc", "12x" or "" are errors and never quietly 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pdutool {

// At least one character, every one of them 0-9.
bool IsDigits(const std::string& s);
// Decimal or 0x hex, 0..0xFFFFFFFF.
std::optional<uint32_t> ParseUnsigned(const std::string& text);
// Decimal or 0x hex with an optional '-', -2^31..2^31-1.
std::optional<int32_t> ParseSigned(const std::string& text);
// A duration in milliseconds: "2000" or "2000ms" (milliseconds), "2s" or
// "1.5s" (seconds).
std::optional<uint32_t> ParseDurationMs(const std::string& text);

}  // namespace pdutool
