// pdutool's strict reading of numbers and durations: the whole text must be
// the number, anything else is refused (never quietly 0).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Numbers.h"

namespace pdutool {
namespace {

TEST(PdutoolNumbers, Durations) {
  const struct { const char* text; std::optional<uint32_t> ms; } cases[] = {
      {"2000", 2000},   {"2000ms", 2000}, {"2s", 2000},      {"1.5s", 1500},   {"0", 0},
      {"500ms", 500},   {"0.25s", 250},   {"4294967295", 4294967295u},
      {"abc", {}},      {"", {}},         {"2x", {}},        {"-5", {}},       {"2 s", {}},
      {"ms", {}},       {"s", {}},        {".5s", {}},       {"0x10", {}},     {"1e3", {}},
      {"4294967296", {}}, {"5000000s", {}}, {"2sec", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDurationMs(c.text), c.ms) << '"' << c.text << '"';
}

TEST(PdutoolNumbers, UnsignedAndSigned) {
  const struct { const char* text; std::optional<uint32_t> u; std::optional<int32_t> s; } cases[] = {
      {"0", 0u, 0}, {"2024", 2024u, 2024}, {"0x7E8", 0x7E8u, 0x7E8}, {"0X7e8", 0x7E8u, 0x7E8}, {"-1", {}, -1},
      {"-2147483648", {}, INT32_MIN}, {"2147483648", 2147483648u, {}}, {"0xFFFFFFFF", 0xFFFFFFFFu, {}},
      {"0x100000000", {}, {}},
      {"010", 10u, 10},  // decimal, not octal
      {"x", {}, {}},
      {"12x", {}, {}},
      {"", {}, {}},
      {" 1", {}, {}},
      {"+1", {}, {}},
      {"0x", {}, {}},
      {"--1", {}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseUnsigned(c.text), c.u) << '"' << c.text << '"';
    EXPECT_EQ(ParseSigned(c.text), c.s) << '"' << c.text << '"';
  }
}

}  // namespace
}  // namespace pdutool
