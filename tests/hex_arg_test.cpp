#include "cli/run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* word;
  std::uint32_t value;
};

TEST(HexArgValue, ReadsWordsAsHexadecimal) {
  const Case cases[] = {
      {"0x10000000", 0x10000000},  // the usual prefix
      {"0X10000000", 0x10000000},  // upper-case prefix
      {"10000000", 0x10000000},    // no prefix: still hexadecimal
      {"10", 0x10},                // looks decimal, read as hexadecimal
      {"0x0x5", 5},                // any number of prefixes
      {"12-34", 0x1234},           // other bytes are skipped, not separators
      {"123456789", 0x23456789},   // only the last eight digits count
      {"deadBEEF", 0xDEADBEEF},    // both cases of digits
      {"zz", 0},                   // no digits at all
      {"", 0},                     // the empty word
      {"100x", 0x10},              // a 0 before x is stepped over even mid-word
      {"10x5", 0x15},
      {"10X5", 0x15},  // an upper-case X inside a word starts a prefix as well
      {"0x", 0},
      {"x0", 0},  // x before the 0 is just skipped, the 0 counts
      {"0", 0},
      {"00x1", 1},  // the first 0 counts, the second starts a prefix
      {"g1h2", 0x12},
      {"\xb5\xda"
       "1",
       1},  // bytes above 0x7F are skipped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(hex_arg_value(c.word), c.value);
  }
}

TEST(HexArgValue, ScansLongWordsWhole) {
  // 300 bytes of filler, then digits: the digits at the very end decide the value.
  const std::string word = std::string(300, '-') + "0x1234abcd";
  EXPECT_EQ(hex_arg_value(word.c_str()), 0x1234ABCDu);
  const std::string digits = std::string(1000, 'f') + "12";
  EXPECT_EQ(hex_arg_value(digits.c_str()), 0xFFFFFF12u);
}

}  // namespace
