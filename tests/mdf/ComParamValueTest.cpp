#include "mdf/ComParamValue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/TempHome.h"

namespace pdu::mdf {
namespace {

// Releases a value made by this room at the end of a scope.
struct ValueGuard {
  void* value;
  uint32_t type;
  ~ValueGuard() { FreeComParamValue(value, type); }
};

TEST(ConvertDefaultValue, NumbersKeepTheLowBitsOfTheDecimalText) {
  struct Row {
    uint32_t type;
    const char* text;
    uint32_t expected;  // as read by ComParamValueAsU32
  };
  const Row rows[] = {
      {0x101, "300", 44},
      {0x101, "0x10", 0},           // hexadecimal notation reads as 0
      {0x101, "  7", 7},            // leading blanks allowed
      {0x101, "12abc", 12},         // reading stops at a letter
      {0x102, "-1", 0xFFFFFFFF},    // sign-extended when widened
      {0x103, "70000", 4464},      // 70000 mod 65536
      {0x104, "-2", 0xFFFFFFFE}, {0x105, "4294967295", 0xFFFFFFFF}, {0x106, "-5", 0xFFFFFFFB}, {0x105, "", 0},
  };
  for (const Row& row : rows) {
    ValueGuard v{ConvertDefaultValue(row.text, row.type), row.type};
    ASSERT_NE(v.value, nullptr) << row.text;
    EXPECT_EQ(ComParamValueAsU32(v.value, row.type), row.expected) << row.type << " " << row.text;
  }
}

// Fields: "MaxLen ActLen values..." (hex bytes or decimal longs), and
// what the conversion writes to the main log.
TEST(ConvertDefaultValue, FieldsTakeTheirLengthsThenTheirValues) {
  struct Row {
    uint32_t type;
    const char* text;
    uint32_t maxLen;
    std::vector<uint32_t> values;  // ActLen of them; none: no array at all
    const char* log;
  };
  const Row rows[] = {
      {0x107, "04 02 3E 00", 4, {0x3E, 0x00}, ""},
      // Too few bytes: ActLen stays, the rest is zero.
      {0x107, "04 03 3E 00", 4, {0x3E, 0x00, 0x00}, "error1: data format is wrong\n"},
      // Surplus bytes are dropped; blanks anywhere.
      {0x107, "  0C  01 3E 80 ", 12, {0x3E}, "error1: data format is wrong\n"}, {0x107, "08 00", 8, {}, ""},
      {0x109, "4 2 100 200", 4, {100, 200}, "LONGFIELD:4 2 100 200\n"},
      // A long field whose count does not match is empty.
      {0x109, "4 3 100 200", 0, {}, "LONGFIELD:4 3 100 200\nerror2: data format is wrong\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    test::TempHome home;
    home.StartLog();
    ValueGuard v{ConvertDefaultValue(row.text, row.type), row.type};
    ASSERT_NE(v.value, nullptr);
    auto check = [&](const auto* f) {
      EXPECT_EQ(f->ParamMaxLen, row.maxLen);
      EXPECT_EQ(std::vector<uint32_t>(f->pDataArray, f->pDataArray + f->ParamActLen), row.values);
      EXPECT_EQ(f->pDataArray == nullptr, row.values.empty());
    };
    row.type == 0x107 ? check(static_cast<const PDU_PARAM_BYTEFIELD_DATA*>(v.value))
                      : check(static_cast<const PDU_PARAM_LONGFIELD_DATA*>(v.value));
    EXPECT_EQ(test::TempHome::ClosedMainLog(), row.log);
  }
}

TEST(ConvertDefaultValue, StructFieldAndUnknownTypesGiveNoValue) {
  test::TempHome home;
  home.StartLog();
  EXPECT_EQ(ConvertDefaultValue("01 02", PDU_PT_STRUCTFIELD), nullptr);
  EXPECT_EQ(ConvertDefaultValue("5", 0x100), nullptr);
  EXPECT_EQ(ConvertDefaultValue("5", 0x10A), nullptr);
  EXPECT_EQ(test::TempHome::ClosedMainLog(), "STRUCTFIELD:01 02\n");
}

TEST(TokenLists, SplitAtBlanksOnly) {
  EXPECT_EQ(ParseHexByteList("0C 02 3E 00"), (std::vector<uint32_t>{0x0C, 0x02, 0x3E, 0x00}));
  EXPECT_EQ(ParseHexByteList("   "), std::vector<uint32_t>{});
  EXPECT_EQ(ParseHexByteList(nullptr), std::vector<uint32_t>{});
  // "0x" prefixes are accepted, results cut to 8 bits, non-numbers read 0.
  EXPECT_EQ(ParseHexByteList("0x1F 1FF zz"), (std::vector<uint32_t>{0x1F, 0xFF, 0x00}));
  EXPECT_EQ(ParseDecimalList(" 4  2 100 200 "), (std::vector<uint32_t>{4, 2, 100, 200}));
  EXPECT_EQ(ParseDecimalList("500000 x -1"), (std::vector<uint32_t>{500000, 0, 0xFFFFFFFF}));
}

TEST(TokenLists, StopAfter200Tokens) {
  std::string text;
  for (int i = 0; i < 250; ++i) text += std::to_string(i) + " ";
  const std::vector<uint32_t> tokens = ParseDecimalList(text.c_str());
  ASSERT_EQ(tokens.size(), 200u);
  EXPECT_EQ(tokens.back(), 199u);
}

TEST(ComParamValueAsU32, ReadsEachValueInItsOwnWidth) {
  // Exactly sized heap objects: the sanitizer build catches any read past
  // the value's own bytes.
  auto u8 = std::make_unique<uint8_t>(0xAB);
  auto s8 = std::make_unique<int8_t>(static_cast<int8_t>(0x80));
  auto u16 = std::make_unique<uint16_t>(0x1234);
  auto s16 = std::make_unique<int16_t>(static_cast<int16_t>(0x8001));
  auto u32 = std::make_unique<uint32_t>(0xDEADBEEF);
  PDU_PARAM_BYTEFIELD_DATA bytes{12, 0, nullptr};
  PDU_PARAM_LONGFIELD_DATA longs{7, 0, nullptr};
  struct Row { const void* value; uint32_t type; uint32_t expected; };
  const Row rows[] = {
      {u8.get(), PDU_PT_UNUM8, 0xAB}, {s8.get(), PDU_PT_SNUM8, 0xFFFFFF80}, {u16.get(), PDU_PT_UNUM16, 0x1234},
      {s16.get(), PDU_PT_SNUM16, 0xFFFF8001}, {u32.get(), PDU_PT_UNUM32, 0xDEADBEEF},
      {u32.get(), PDU_PT_SNUM32, 0xDEADBEEF},
      {&bytes, PDU_PT_BYTEFIELD, 12},  // MaxLen
      {&longs, PDU_PT_LONGFIELD, 7}, {u8.get(), PDU_PT_STRUCTFIELD, 0}, {u8.get(), 0x999, 0},
      {nullptr, PDU_PT_UNUM32, 0},
  };
  for (const Row& row : rows) EXPECT_EQ(ComParamValueAsU32(row.value, row.type), row.expected) << row.type;
}

TEST(CloneComParamValue, CopiesAreIndependentOfTheSource) {
  uint8_t u8 = 0x11;
  uint16_t u16 = 0x2233;
  uint32_t u32 = 0x44556677;
  UNUM8 data[] = {1, 2, 3};
  UNUM32 words[] = {100, 200};
  PDU_PARAM_BYTEFIELD_DATA bytes{8, 3, data};
  PDU_PARAM_LONGFIELD_DATA longs{4, 2, words};

  ValueGuard c8{CloneComParamValue(&u8, PDU_PT_UNUM8), PDU_PT_UNUM8};
  ValueGuard c16{CloneComParamValue(&u16, PDU_PT_SNUM16), PDU_PT_SNUM16};
  ValueGuard c32{CloneComParamValue(&u32, PDU_PT_UNUM32), PDU_PT_UNUM32};
  ValueGuard cb{CloneComParamValue(&bytes, PDU_PT_BYTEFIELD), PDU_PT_BYTEFIELD};
  ValueGuard cl{CloneComParamValue(&longs, PDU_PT_LONGFIELD), PDU_PT_LONGFIELD};
  u8 = 0;
  u16 = 0;
  u32 = 0;
  data[0] = 0xFF;
  words[1] = 0;
  bytes.ParamActLen = 1;
  longs.ParamMaxLen = 0;

  EXPECT_EQ(ComParamValueAsU32(c8.value, PDU_PT_UNUM8), 0x11u);
  EXPECT_EQ(ComParamValueAsU32(c16.value, PDU_PT_UNUM16), 0x2233u);
  EXPECT_EQ(ComParamValueAsU32(c32.value, PDU_PT_UNUM32), 0x44556677u);
  const auto* b = static_cast<const PDU_PARAM_BYTEFIELD_DATA*>(cb.value);
  ASSERT_EQ(b->ParamActLen, 3u);
  EXPECT_NE(b->pDataArray, data);
  EXPECT_EQ(std::vector<uint8_t>(b->pDataArray, b->pDataArray + 3), (std::vector<uint8_t>{1, 2, 3}));
  const auto* l = static_cast<const PDU_PARAM_LONGFIELD_DATA*>(cl.value);
  EXPECT_EQ(l->ParamMaxLen, 4u);
  ASSERT_EQ(l->ParamActLen, 2u);
  EXPECT_EQ(l->pDataArray[1], 200u);
}

TEST(CloneComParamValue, StructFieldGivesNullUnknownTypesAndNullSourcesAFreshZero) {
  uint32_t anything = 1;
  EXPECT_EQ(CloneComParamValue(&anything, PDU_PT_STRUCTFIELD), nullptr);
  // A one-byte source: the sanitizer build proves it is not read.
  auto source = std::make_unique<uint8_t>(0x5A);
  ValueGuard v{CloneComParamValue(source.get(), 0x777), 0x777};
  ASSERT_NE(v.value, nullptr);
  uint32_t word;
  std::memcpy(&word, v.value, sizeof word);
  EXPECT_EQ(word, 0u);
  // Null sources give zero values.
  ValueGuard n{CloneComParamValue(nullptr, PDU_PT_UNUM16), PDU_PT_UNUM16};
  EXPECT_EQ(ComParamValueAsU32(n.value, PDU_PT_UNUM16), 0u);
  ValueGuard b{CloneComParamValue(nullptr, PDU_PT_BYTEFIELD), PDU_PT_BYTEFIELD};
  EXPECT_EQ(static_cast<PDU_PARAM_BYTEFIELD_DATA*>(b.value)->ParamActLen, 0u);
  // A byte field claiming data but carrying no array is copied as empty.
  PDU_PARAM_BYTEFIELD_DATA hollow{4, 3, nullptr};
  ValueGuard h{CloneComParamValue(&hollow, PDU_PT_BYTEFIELD), PDU_PT_BYTEFIELD};
  EXPECT_EQ(static_cast<PDU_PARAM_BYTEFIELD_DATA*>(h.value)->ParamActLen, 0u);
  EXPECT_EQ(static_cast<PDU_PARAM_BYTEFIELD_DATA*>(h.value)->pDataArray, nullptr);
}

// (A deep copy, every level changed in the caller's table afterwards:
// UniqueRespIdTable.EveryEntrySetsItsComParamsOnTheLinkAndTheLastOneWins.)
TEST(CloneUniqueRespIdTable, EmptyAndNullTables) {
  EXPECT_EQ(CloneUniqueRespIdTable(nullptr), nullptr);
  PDU_UNIQUE_RESP_ID_TABLE_ITEM empty{PDU_IT_UNIQUE_RESP_ID_TABLE, 0, nullptr};
  PDU_UNIQUE_RESP_ID_TABLE_ITEM* copy = CloneUniqueRespIdTable(&empty);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->NumEntries, 0u);
  EXPECT_EQ(copy->pUniqueData, nullptr);
  FreeUniqueRespIdTable(copy);
}

TEST(ComParamItem, OwnsAClonedValueAndMovesIt) {
  uint32_t value = 50000;
  const PDU_PARAM_ITEM source{PDU_IT_PARAM, 1, PDU_PT_UNUM32, PDU_PC_TIMING, &value};
  ComParamItem item(source);
  value = 1;
  EXPECT_NE(item.item().pComParamData, &value);
  EXPECT_EQ(item.AsU32(), 50000u);

  ComParamItem clone = item.Clone();
  ComParamItem moved = std::move(item);
  EXPECT_EQ(moved.AsU32(), 50000u);
  EXPECT_NE(clone.item().pComParamData, moved.item().pComParamData);
  moved = ComParamItem::Adopt(2, PDU_PT_UNUM8, PDU_PC_COM, ConvertDefaultValue("9", PDU_PT_UNUM8));
  EXPECT_EQ(moved.item().ItemType, 0x1200u);
  EXPECT_EQ(moved.AsU32(), 9u);
  EXPECT_EQ(clone.AsU32(), 50000u);
}

}  // namespace
}  // namespace pdu::mdf
