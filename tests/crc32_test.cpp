#include "image/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::uint32_t crc_of(const char* text) {
  return crc32_feed(0, reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
}

TEST(Crc32Feed, MatchesCheckValues) {
  EXPECT_EQ(crc_of("abc"), 0xCA6598D0u);
  EXPECT_EQ(crc_of("123456789"), 0x2DFD2D88u);
  EXPECT_EQ(crc_of(""), 0u);
}

TEST(Crc32Feed, ZerosGiveZero) {
  const std::vector<std::uint8_t> zeros(100000, 0);
  for (std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, zeros.size()}) {
    EXPECT_EQ(crc32_feed(0, zeros.data(), n), 0u) << n;
  }
}

TEST(Crc32Feed, ZeroCountLeavesStateUnchanged) {
  const std::uint8_t byte = 0x5A;
  EXPECT_EQ(crc32_feed(0x12345678u, &byte, 0), 0x12345678u);
}

TEST(Crc32Feed, FeedingInPiecesEqualsFeedingOnce) {
  std::vector<std::uint8_t> bytes(5000);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 131u + 7u) & 0xFFu);
  }
  const std::uint32_t whole = crc32_feed(0, bytes.data(), bytes.size());
  for (std::size_t cut : {std::size_t{1}, std::size_t{3}, std::size_t{4095}, std::size_t{4999}}) {
    const std::uint32_t first = crc32_feed(0, bytes.data(), cut);
    EXPECT_EQ(crc32_feed(first, bytes.data() + cut, bytes.size() - cut), whole) << cut;
  }
}

TEST(Crc32MakeTable, HoldsTheReflectedPolynomialTable) {
  const Crc32Table table = crc32_make_table();
  EXPECT_EQ(table[0], 0u);
  EXPECT_EQ(table[1], 0x77073096u);
  EXPECT_EQ(table[128], 0xEDB88320u);
  EXPECT_EQ(table[255], 0x2D02EF8Du);
}

}  // namespace
