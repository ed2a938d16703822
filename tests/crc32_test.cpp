#include "image/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "support/files.h"

namespace {

const std::uint8_t* as_bytes(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

TEST(Crc32Feed, CheckValuesOnEveryPath) {
  const bool clmul = crc32_clmul_available();
  const Bytes zeros(100000, 0);
  for (const std::size_t n :
       {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{4097}, zeros.size()}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(crc32_feed(0, zeros.data(), n), 0u);
    EXPECT_EQ(crc32_feed_table(0, zeros.data(), n), 0u);
    if (clmul) {
      EXPECT_EQ(crc32_feed_clmul(0, zeros.data(), n), 0u);
    }
  }
  EXPECT_EQ(crc32_feed(0, as_bytes("abc"), 3), 0xCA6598D0u);
  EXPECT_EQ(crc32_feed_table(0, as_bytes("abc"), 3), 0xCA6598D0u);
  EXPECT_EQ(crc32_feed(0, as_bytes("123456789"), 9), 0x2DFD2D88u);
  EXPECT_EQ(crc32_feed_table(0, as_bytes("123456789"), 9), 0x2DFD2D88u);
  EXPECT_EQ(crc32_feed(0, as_bytes(""), 0), 0u);
  EXPECT_EQ(crc32_feed(0x12345678u, nullptr, 0), 0x12345678u);  // no bytes, no change
}

// Every length from 0 to 4096 at each of 16 starting alignments, from two start states each:
// the reference grows one table step at a time beside the folding path.
TEST(Crc32Feed, ClmulAgreesWithTableAtEveryLengthAndAlignment) {
  if (!crc32_clmul_available()) {
    GTEST_SKIP() << "no carry-less multiplication on this processor";
  }
  constexpr std::size_t max_length = 4096;
  const Bytes bytes = random_bytes(max_length + 16, 1);
  std::mt19937 gen(2);
  for (std::size_t align = 0; align < 16; ++align) {
    for (const std::uint32_t start : {static_cast<std::uint32_t>(gen()), 0xFFFFFFFFu}) {
      const std::uint8_t* data = bytes.data() + align;
      std::uint32_t expected = start;
      for (std::size_t n = 0; n <= max_length; ++n) {
        ASSERT_EQ(crc32_feed_clmul(start, data, n), expected)
            << "length " << n << ", alignment " << align << ", state " << start;
        ASSERT_EQ(crc32_feed(start, data, n), expected);
        expected = crc32_feed_table(expected, data + n, 1);
      }
    }
  }
}

// The composition feeds an application stretch by stretch; the pieces must add up to the
// checksum of the whole, wherever they are cut.
TEST(Crc32Feed, PiecesAddUpToTheWhole) {
  const Bytes bytes = random_bytes((std::size_t{1} << 20) + 13, 3);
  const std::uint32_t whole = crc32_feed_table(0, bytes.data(), bytes.size());
  EXPECT_EQ(crc32_feed(0, bytes.data(), bytes.size()), whole);
  for (const std::size_t cut : {std::size_t{1}, std::size_t{3}, std::size_t{64}, std::size_t{4095},
                                std::size_t{1} << 19, bytes.size() - 17}) {
    SCOPED_TRACE(cut);
    const std::uint32_t head = crc32_feed(0, bytes.data(), cut);
    EXPECT_EQ(crc32_feed(head, bytes.data() + cut, bytes.size() - cut), whole);
  }
}

TEST(Crc32MakeTable, HoldsTheReflectedPolynomialTable) {
  const Crc32Table table = crc32_make_table();
  EXPECT_EQ(table[0], 0u);
  EXPECT_EQ(table[1], 0x77073096u);
  EXPECT_EQ(table[128], 0xEDB88320u);
  EXPECT_EQ(table[255], 0x2D02EF8Du);
}
