// The VCI codes of the pin types, which go to the VCI in SET_LINK_RESOURCE
// in place of the pins' object ids: the whole table in literals.
#include <gtest/gtest.h>

#include <string>

#include "mdf/VciCodes.h"

namespace pdu::mdf {
namespace {

TEST(PinTypeCodes, EveryPinTypeHasItsVciCode) {
  struct Row {
    const char* name;
    uint32_t code;
  };
  const Row rows[] = {{"HI", 1},    {"LOW", 2},   {"K", 3},       {"L", 4},      {"TX", 5},
                      {"RX", 6},    {"PLUS", 7},  {"MINUS", 8},   {"SINGLE", 9}, {"PROGV", 10},
                      {"IGNITION_CLAMP", 11}};
  ASSERT_EQ(PinTypeNameTable().size(), 11u);
  for (size_t i = 0; i < 11; ++i) {
    EXPECT_EQ(PinTypeNameTable()[i].Code, rows[i].code);
    EXPECT_EQ(std::string(PinTypeNameTable()[i].Name), rows[i].name);
  }
}

}  // namespace
}  // namespace pdu::mdf
