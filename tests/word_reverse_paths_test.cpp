#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/word_reverse.h"

// Whole 16-byte blocks may take a different path from the last few words: every size up to
// a few blocks, at every alignment, against a plain reference; bytes past the whole words
// and past `size` stay put.
TEST(ReverseWordBytesPaths, MatchesPlainReversalAtEverySizeAndAlignment) {
  std::vector<std::uint8_t> original(128 + 16);
  for (std::size_t i = 0; i < original.size(); ++i) {
    original[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  for (std::size_t align = 0; align < 16; ++align) {
    for (std::size_t size = 0; size <= 128; ++size) {
      std::vector<std::uint8_t> expected = original;
      for (std::size_t w = align; w + 4 <= align + size; w += 4) {
        for (std::size_t k = 0; k < 4; ++k) {
          expected[w + k] = original[w + 3 - k];
        }
      }
      std::vector<std::uint8_t> actual = original;
      reverse_word_bytes(actual.data() + align, size);
      ASSERT_EQ(actual, expected) << "size " << size << ", alignment " << align;
    }
  }
}
