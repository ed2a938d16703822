#include "image/crc32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "image/cpu_features.h"
#include "support/files.h"

namespace {

const std::uint8_t* as_bytes(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Every length from 0 to 4096 at each of 16 starting alignments, from two start states each:
// the reference grows one table step at a time beside the path under test.
template <typename Feed>
void expect_agrees_with_table(Feed feed) {
  constexpr std::size_t max_length = 4096;
  const Bytes bytes = random_bytes(max_length + 16, 1);
  std::mt19937 gen(2);
  for (std::size_t align = 0; align < 16; ++align) {
    for (const std::uint32_t start : {static_cast<std::uint32_t>(gen()), 0xFFFFFFFFu}) {
      const std::uint8_t* data = bytes.data() + align;
      std::uint32_t expected = start;
      for (std::size_t n = 0; n <= max_length; ++n) {
        ASSERT_EQ(feed(start, data, n), expected)
            << "length " << n << ", alignment " << align << ", state " << start;
        ASSERT_EQ(crc32_feed(start, data, n), expected);
        expected = crc32_feed_table(expected, data + n, 1);
      }
    }
  }
}

// The features that the processor running the tests is known to have, as the test run names
// them in VELMORA_CPU_FEATURES (blank-separated): an emulated processor's are known in advance.
std::vector<std::string> promised_cpu_features() {
  const char* value = std::getenv("VELMORA_CPU_FEATURES");
  std::istringstream words(value != nullptr ? value : "");
  std::vector<std::string> features;
  for (std::string word; words >> word;) {
    features.push_back(word);
  }
  return features;
}

}  // namespace

TEST(Crc32Feed, CheckValuesOnEveryPath) {
  const bool clmul = crc32_clmul_available();
  const bool armv8 = crc32_armv8_available();
  const Bytes zeros(100000, 0);
  for (const std::size_t n :
       {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{4097}, zeros.size()}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(crc32_feed(0, zeros.data(), n), 0u);
    EXPECT_EQ(crc32_feed_table(0, zeros.data(), n), 0u);
    if (clmul) {
      EXPECT_EQ(crc32_feed_clmul(0, zeros.data(), n), 0u);
    }
    if (armv8) {
      EXPECT_EQ(crc32_feed_armv8(0, zeros.data(), n), 0u);
    }
  }
  if (armv8) {
    EXPECT_EQ(crc32_feed_armv8(0, as_bytes("abc"), 3), 0xCA6598D0u);
    EXPECT_EQ(crc32_feed_armv8(0, as_bytes("123456789"), 9), 0x2DFD2D88u);
  }
  EXPECT_EQ(crc32_feed(0, as_bytes("abc"), 3), 0xCA6598D0u);
  EXPECT_EQ(crc32_feed_table(0, as_bytes("abc"), 3), 0xCA6598D0u);
  EXPECT_EQ(crc32_feed(0, as_bytes("123456789"), 9), 0x2DFD2D88u);
  EXPECT_EQ(crc32_feed_table(0, as_bytes("123456789"), 9), 0x2DFD2D88u);
  EXPECT_EQ(crc32_feed(0, as_bytes(""), 0), 0u);
  EXPECT_EQ(crc32_feed(0x12345678u, nullptr, 0), 0x12345678u);  // no bytes, no change
}

TEST(Crc32Feed, ClmulAgreesWithTableAtEveryLengthAndAlignment) {
  if (!crc32_clmul_available()) {
    GTEST_SKIP() << "no carry-less multiplication on this processor";
  }
  expect_agrees_with_table(crc32_feed_clmul);
}

TEST(Crc32Feed, Armv8AgreesWithTableAtEveryLengthAndAlignment) {
  if (!crc32_armv8_available()) {
    GTEST_SKIP() << "no ARMv8 CRC32 instructions on this processor";
  }
  expect_agrees_with_table(crc32_feed_armv8);
}

// A processor whose features are known must get their path: a wrong answer from the feature
// check would otherwise go unseen, since every path gives the same values.
TEST(Crc32Path, TakesThePathOfTheFeaturesKnownToBePresent) {
  const std::vector<std::string> features = promised_cpu_features();
  if (features.empty()) {
    GTEST_SKIP() << "VELMORA_CPU_FEATURES names no feature of this processor";
  }
  for (const std::string& feature : features) {
    SCOPED_TRACE(feature);
    if (feature == "crc32") {
      EXPECT_TRUE(cpu_features().crc32);
      EXPECT_EQ(crc32_path(0), Crc32Path::armv8);
      EXPECT_EQ(crc32_path(7), Crc32Path::armv8);
      EXPECT_EQ(crc32_path(std::size_t{1} << 20), Crc32Path::armv8);
    } else if (feature == "clmul") {
      EXPECT_TRUE(cpu_features().clmul);
      EXPECT_EQ(crc32_path(63), Crc32Path::table);
      EXPECT_EQ(crc32_path(64), Crc32Path::clmul);
    } else {
      ADD_FAILURE() << "unknown feature in VELMORA_CPU_FEATURES";
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
