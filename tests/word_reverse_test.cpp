#include "image/crc32.h"

#include <gtest/gtest.h>

#include <vector>

#include "image/layout.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ReverseWordBytes, ReversesWholeWordsAndLeavesTailBytesInPlace) {
  Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  reverse_word_bytes(bytes.data(), bytes.size());
  EXPECT_EQ(bytes, (Bytes{0x04, 0x03, 0x02, 0x01, 0x05, 0x06}));
}

// Whole 16-byte blocks may take a different path from the last few words: every size up to
// a few blocks, at every alignment, against a plain reference; bytes past the whole words
// and past `size` stay put.
TEST(ReverseWordBytes, MatchesPlainReversalAtEverySizeAndAlignment) {
  Bytes original(128 + 16);
  for (std::size_t i = 0; i < original.size(); ++i) {
    original[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  for (std::size_t align = 0; align < 16; ++align) {
    for (std::size_t size = 0; size <= 128; ++size) {
      Bytes expected = original;
      for (std::size_t w = align; w + 4 <= align + size; w += 4) {
        for (std::size_t k = 0; k < 4; ++k) {
          expected[w + k] = original[w + 3 - k];
        }
      }
      Bytes actual = original;
      reverse_word_bytes(actual.data() + align, size);
      ASSERT_EQ(actual, expected) << "size " << size << ", alignment " << align;
    }
  }
}

TEST(InHighWindow, StartsAt0x11000000) {
  EXPECT_FALSE(in_high_window(0x00000000u));
  EXPECT_FALSE(in_high_window(0x10000000u));
  EXPECT_FALSE(in_high_window(0x10FFFFFFu));
  EXPECT_TRUE(in_high_window(0x11000000u));
  EXPECT_TRUE(in_high_window(0x80000000u));  // compared unsigned
  EXPECT_TRUE(in_high_window(0xFFFFFFFFu));
}

}  // namespace
