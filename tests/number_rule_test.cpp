#include "options/number_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Int32Case {
  std::string text;
  int base;
  NumberError error;
  int32_t value;  // meaningful when error is None
};

TEST(NumberRule, ConvertInt32FollowsTheOneRule) {
  const Int32Case cases[] = {
      {"0", 10, NumberError::None, 0},
      {"42", 10, NumberError::None, 42},
      {"1x", 10, NumberError::None, 1},
      {"+5", 10, NumberError::None, 5},
      {" 7", 10, NumberError::None, 7},
      {"\t\n\v\f\r 8", 10, NumberError::None, 8},
      {"-1", 10, NumberError::None, -1},
      {"258", 10, NumberError::None, 258},
      {"007", 10, NumberError::None, 7},
      {"000000000000000000000000000012", 10, NumberError::None, 12},
      {"2147483647", 10, NumberError::None, 2147483647},
      {"-2147483648", 10, NumberError::None, -2147483647 - 1},
      {"1a", 10, NumberError::None, 1},
      {"0x10", 10, NumberError::None, 0},
      {"", 10, NumberError::Invalid, 0},
      {" ", 10, NumberError::Invalid, 0},
      {"x", 10, NumberError::Invalid, 0},
      {"-", 10, NumberError::Invalid, 0},
      {"+-1", 10, NumberError::Invalid, 0},
      {"- 1", 10, NumberError::Invalid, 0},
      {"-s", 10, NumberError::Invalid, 0},
      {"2147483648", 10, NumberError::OutOfRange, 0},
      {"-2147483649", 10, NumberError::OutOfRange, 0},
      {"99999999999999999999999999", 10, NumberError::OutOfRange, 0},
      // More digits than 64 bits hold: 2^64 and 2^64 + 5 would wrap to 0 and 5.
      {"18446744073709551616", 10, NumberError::OutOfRange, 0},
      {"18446744073709551621", 10, NumberError::OutOfRange, 0},
      {"-18446744073709551616", 10, NumberError::OutOfRange, 0},
      {"1000h", 16, NumberError::None, 0x1000},
      {"A000", 16, NumberError::None, 0xA000},
      {"a000", 16, NumberError::None, 0xA000},
      {"0xA000", 16, NumberError::None, 0xA000},
      {"0XA000", 16, NumberError::None, 0xA000},
      {"-0x1", 16, NumberError::None, -1},
      {"A000,app.bin", 16, NumberError::None, 0xA000},
      {"0x", 16, NumberError::None, 0},
      {"0xg", 16, NumberError::None, 0},
      {"7FFFFFFF", 16, NumberError::None, 0x7FFFFFFF},
      {"g", 16, NumberError::Invalid, 0},
      {"x1", 16, NumberError::Invalid, 0},
      {"FFFFFFFF", 16, NumberError::OutOfRange, 0},
      {"80000000", 16, NumberError::OutOfRange, 0},
  };
  for (const Int32Case& c : cases) {
    SCOPED_TRACE("'" + c.text + "' base " + std::to_string(c.base));
    int32_t value = 12345;
    EXPECT_EQ(ConvertInt32(c.text, c.base, value), c.error);
    EXPECT_EQ(value, c.error == NumberError::None ? c.value : 12345);
  }
}

struct AddressCase {
  std::string text;
  NumberError error;
  uint32_t value;
};

TEST(NumberRule, ConvertAddressTakesTheWholeUnsignedRange) {
  const AddressCase cases[] = {
      {"0", NumberError::None, 0},
      {"A000", NumberError::None, 0xA000},
      {"1000h", NumberError::None, 0x1000},
      {"FFFFFFFF", NumberError::None, 0xFFFFFFFF},
      {"ffffffff", NumberError::None, 0xFFFFFFFF},
      {"0xFFFFFFFF", NumberError::None, 0xFFFFFFFF},
      {"80000000", NumberError::None, 0x80000000},
      {"-1", NumberError::None, 0xFFFFFFFF},
      {"-0x1", NumberError::None, 0xFFFFFFFF},
      {"-80000000", NumberError::None, 0x80000000},
      {"-0", NumberError::None, 0},
      {" +10", NumberError::None, 0x10},
      {"0x", NumberError::None, 0},
      {"00000000000000000000FFFFFFFF", NumberError::None, 0xFFFFFFFF},
      {"100000000", NumberError::OutOfRange, 0},
      {"-80000001", NumberError::OutOfRange, 0},
      {"FFFFFFFFFFFFFFFFFFFF", NumberError::OutOfRange, 0},
      // More digits than 64 bits hold, which would wrap to an address that fits.
      {"100000000000000000000", NumberError::OutOfRange, 0},
      {"0x10000000000000000", NumberError::OutOfRange, 0},
      {"0x1000000000000A000", NumberError::OutOfRange, 0},
      {"-10000000000000000", NumberError::OutOfRange, 0},
      {"-1000000000000000F", NumberError::OutOfRange, 0},
      {"100000000FFFFFFFF", NumberError::OutOfRange, 0},
      // Leading zeros take no room.
      {"0x0000000000000000000000000000A000", NumberError::None, 0xA000},
      {"-000000000000000000000080000000", NumberError::None, 0x80000000},
      {"", NumberError::Invalid, 0},
      {"zz", NumberError::Invalid, 0},
      {"app.bin", NumberError::None, 0xA},
  };
  for (const AddressCase& c : cases) {
    SCOPED_TRACE("'" + c.text + "'");
    uint32_t value = 12345;
    EXPECT_EQ(ConvertAddress(c.text, value), c.error);
    EXPECT_EQ(value, c.error == NumberError::None ? c.value : 12345u);
  }
}

// What the rule reads past is what the option parser warns about.
TEST(NumberRule, TextAfterNumberIsWhatTheRuleIgnores) {
  const struct {
    std::string text;
    int base;
    std::string ignored;
  } cases[] = {
      {"7", 10, ""},           {" 7 \t", 10, ""},     {"7x", 10, "x"},         {"1 2", 10, " 2"},
      {"0x10", 10, "x10"},     {"x", 10, ""},          {"", 10, ""},            {"99999999999x", 10, "x"},
      {"fw.bin", 16, "w.bin"}, {"A000,app.bin", 16, ",app.bin"},               {"1000h", 16, "h"},
      {"0x", 16, "x"},         {"0xA000", 16, ""},     {"-1", 16, ""},          {"zz", 16, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextAfterNumber(c.text, c.base), c.ignored) << "'" << c.text << "' base " << c.base;
  }
}

// Seconds for --timeout: digits and one decimal point only, rounded up to
// whole milliseconds, never zero.
TEST(NumberRule, SecondsBecomeMilliseconds) {
  const struct {
    std::string text;
    NumberError error;
    int32_t ms;  // meaningful when error is None
  } cases[] = {
      {"2.5", NumberError::None, 2500},        {"10", NumberError::None, 10000},
      {".5", NumberError::None, 500},          {"5.", NumberError::None, 5000},
      {"0.001", NumberError::None, 1},         {"0.0001", NumberError::None, 1},
      {"1.2340", NumberError::None, 1234},     {"1.23401", NumberError::None, 1235},
      {"007", NumberError::None, 7000},        {"2147483.647", NumberError::None, 2147483647},
      {"2147483.6471", NumberError::OutOfRange, 0},
      {"99999999999999999999", NumberError::OutOfRange, 0},
      {"0", NumberError::Invalid, 0},          {"0.0000", NumberError::Invalid, 0},
      {"", NumberError::Invalid, 0},           {".", NumberError::Invalid, 0},
      {"-1", NumberError::Invalid, 0},         {"+1", NumberError::Invalid, 0},
      {" 1", NumberError::Invalid, 0},         {"1s", NumberError::Invalid, 0},
      {"1e3", NumberError::Invalid, 0},        {"1.2.3", NumberError::Invalid, 0},
      {"1,5", NumberError::Invalid, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("'" + c.text + "'");
    int32_t ms = 12345;
    EXPECT_EQ(ConvertSecondsToMs(c.text, ms), c.error);
    EXPECT_EQ(ms, c.error == NumberError::None ? c.ms : 12345);
  }
}

}  // namespace
