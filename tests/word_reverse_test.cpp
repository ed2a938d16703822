#include "image/word_reverse.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ReverseWordBytes, ReversesWholeWordsAndLeavesTailBytesInPlace) {
  Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  reverse_word_bytes(bytes.data(), bytes.size());
  EXPECT_EQ(bytes, (Bytes{0x04, 0x03, 0x02, 0x01, 0x05, 0x06}));
}

TEST(ReverseWordBytes, TouchesOnlyTheFirstSizeBytesForEveryTailLength) {
  for (std::size_t size = 0; size <= 13; ++size) {
    SCOPED_TRACE(size);
    Bytes bytes(20);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(i);
    }
    reverse_word_bytes(bytes.data(), size);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const std::size_t word_start = i - i % 4;
      const bool in_whole_word = word_start + 4 <= size;
      const std::size_t expected = in_whole_word ? word_start + 3 - i % 4 : i;
      EXPECT_EQ(bytes[i], expected) << "byte " << i;
    }
  }
}

TEST(ReverseWordBytes, TwiceRestoresTheBytes) {
  Bytes bytes(4099);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7u);
  }
  const Bytes original = bytes;
  reverse_word_bytes(bytes.data(), bytes.size());
  EXPECT_NE(bytes, original);
  reverse_word_bytes(bytes.data(), bytes.size());
  EXPECT_EQ(bytes, original);
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
