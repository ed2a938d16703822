// The mistakes velmora-inspect names in what velmora was given: each word and each file start
// with the warning it must raise, beside a near neighbour that must raise none.
#include "inspect/mistakes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The index of a numeric word in velmora's command line.
int index_of(const char* label) {
  for (int i = 0; i < 4; ++i) {
    if (std::string(numeric_words[i]) == label) {
      return i;
    }
  }
  return -1;
}

std::vector<std::string> names(const char* label, const char* word) {
  std::vector<std::string> out;
  for (const WordFinding& f : word_findings(index_of(label), word)) {
    out.push_back(f.name);
  }
  return out;
}

TEST(WordFindings, NameWhatVelmoraReadWithLoss) {
  using Names = std::vector<std::string>;
  const struct {
    const char* label;
    const char* word;
    Names expected;
  } rows[] = {
      {"status1", "1", {}},
      {"status1", "l", {"status1_no_digit"}},        // the letter for the digit
      {"status1", "0x", {"status1_no_digit"}},       // nothing after the prefix
      {"status1", "0", {}},                          // a digit, read as 0 on purpose
      {"status2", "-1", {"status2_skipped_bytes"}},  // the sign is skipped
      {"status2", "7f", {}},                         // the largest positive status
      {"status2", "80", {"status2_negative"}},       // one past it
      {"status2", "ff", {"status2_negative"}},
      {"load_addr1", "0x1000_0000", {}},  // a separator velmora skips
      {"load_addr1", "0x1000.0000", {"load_addr1_skipped_bytes"}},
      {"load_addr1", "0x1000000o", {"load_addr1_skipped_bytes"}},
      {"load_addr2", "0x11000000", {}},   // eight digits
      {"load_addr2", "0x011000000", {}},  // a leading zero is not significant
      {"load_addr2", "0x110000000", {"load_addr2_too_long"}},
      // 0x10000000 in decimal: nine digits, of which velmora drops the first
      {"load_addr1", "268435456", {"load_addr1_too_long", "load_addr1_decimal"}},
      {"load_addr1", "65536", {"load_addr1_decimal"}},        // 0x10000
      {"load_addr1", "65537", {}},                            // not page-aligned as decimal either
      {"load_addr1", "10000000", {}},                         // aligned as hexadecimal already
      {"load_addr1", "4294967296", {"load_addr1_too_long"}},  // past 32 bits in decimal
      {"status1", "100", {}},                                 // keeps 0: no loss velmora hides
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.word);
    EXPECT_EQ(names(r.label, r.word), r.expected);
  }
}

TEST(WordFindings, SayWhatWasReadAndWhatWasMeant) {
  std::vector<WordFinding> f = word_findings(index_of("status1"), "l");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].detail,
            "status1 \"l\" holds no hexadecimal digit: velmora read 0 (invalid); 0x1 meant, a "
            "letter typed for a digit?");
  f = word_findings(index_of("load_addr1"), "268435456");
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[1].detail,
            "load_addr1 \"268435456\" is read as hexadecimal, 0x68435456, which is not "
            "page-aligned; as a decimal number it is 0x10000000, which is: write 0x10000000 if "
            "that was meant");
  f = word_findings(index_of("load_addr2"), "0x110000000");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].detail,
            "load_addr2 \"0x110000000\" has 9 significant digits: velmora keeps the last eight "
            "and read 0x10000000; 0x110000000 meant, with a digit too many?");
  f = word_findings(index_of("status2"), "ff");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].detail,
            "status2 \"ff\" gives 0xff, which velmora keeps as -1 (active): a negative status "
            "never sets the high window's flag; 1 or 2 meant?");
}

TEST(NonBinaryFormat, KnowsTheFormatsAroundARawImage) {
  const struct {
    std::string bytes;
    const char* expected;
  } rows[] = {
      {std::string("\x7f"
                   "ELF\x01\x01\x01",
                   7),
       "an ELF file"},
      {std::string("\x7f"
                   "EL",
                   3),
       nullptr},
      {std::string("UF2\nWQ]\x9e\x00\x00", 10), "UF2 blocks"},
      {std::string("UF2\nWQ]\x9f", 8), nullptr},
      {":020000040800F2\r\n:10000000", "Intel HEX text"},
      {":00000001FF", "Intel HEX text"},  // the shortest record
      {":00000001F", nullptr},            // one digit short
      {":0000g001FF\n", nullptr},
      {"S00F000068656C6C6F202020202000003C\n", "S-record text"},
      {"S1130000", "S-record text"},
      {"S113", nullptr},
      {"SA130000\n", nullptr},
      {std::string("\x00\x10\x00\x20", 4), nullptr},  // a vector table
      {"", nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.bytes);
    const char* got =
        non_binary_format(reinterpret_cast<const std::uint8_t*>(r.bytes.data()), r.bytes.size());
    EXPECT_STREQ(got, r.expected);
  }
}

}  // namespace
