#include "image/crc32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

#include "support/files.h"

namespace {

const std::uint8_t* as_bytes(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// The checksum one bit at a time, from its definition alone: no table, no folding.
std::uint32_t bitwise_crc(std::uint32_t state, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    state ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      state = (state & 1u) != 0 ? (state >> 1) ^ 0xEDB88320u : state >> 1;
    }
  }
  return state;
}

// Every length from 0 to 1536 at each of 16 starting alignments, from two start states each:
// the reference grows one bit-at-a-time step per byte beside the path under test.
template <typename Feed>
void expect_agrees_with_bitwise(Feed feed) {
  constexpr std::size_t max_length = 1536;
  const Bytes bytes = random_bytes(max_length + 16, 1);
  std::mt19937 gen(2);
  for (std::size_t align = 0; align < 16; ++align) {
    for (const std::uint32_t start : {static_cast<std::uint32_t>(gen()), 0xFFFFFFFFu}) {
      const std::uint8_t* data = bytes.data() + align;
      std::uint32_t expected = start;
      for (std::size_t n = 0; n <= max_length; ++n) {
        ASSERT_EQ(feed(start, data, n), expected)
            << "length " << n << ", alignment " << align << ", state " << start;
        expected = bitwise_crc(expected, data + n, 1);
      }
    }
  }
}

#if defined(__aarch64__)
// The features the processor running the tests is known to have, as the test run names them
// in VELMORA_CPU_FEATURES (blank-separated): an emulated Arm processor's are known in advance.
bool promised_cpu_feature(const std::string& name) {
  const char* value = std::getenv("VELMORA_CPU_FEATURES");
  std::istringstream words(value != nullptr ? value : "");
  for (std::string word; words >> word;) {
    if (word == name) {
      return true;
    }
  }
  return false;
}
#endif

}  // namespace

TEST(Crc32Feed, CheckValues) {
  const Bytes zeros(100000, 0);
  for (const std::size_t n : {std::size_t{1}, std::size_t{64}, zeros.size()}) {
    EXPECT_EQ(crc32_feed(0, zeros.data(), n), 0u) << n;
  }
  EXPECT_EQ(crc32_feed(0, as_bytes("abc"), 3), 0xCA6598D0u);
  EXPECT_EQ(crc32_feed(0, as_bytes("123456789"), 9), 0x2DFD2D88u);
  EXPECT_EQ(crc32_feed(0x12345678u, nullptr, 0), 0x12345678u);  // no bytes, no change
  const Bytes ones(1000, 0xFF);
  EXPECT_EQ(crc32_feed(0, ones.data(), ones.size()), bitwise_crc(0, ones.data(), ones.size()));
}

// Every path that this build and processor offer, and the choice among them, against the
// bit-at-a-time reference: a wrong table entry or a slip in the folding shows as a difference.
TEST(Crc32Feed, EveryPathAgreesWithTheBitwiseReference) {
  expect_agrees_with_bitwise(crc32_feed);
  for (const Crc32Path path : {Crc32Path::table, Crc32Path::clmul, Crc32Path::armv8}) {
    if (crc32_path_available(path)) {
      expect_agrees_with_bitwise(
          [path](std::uint32_t state, const std::uint8_t* bytes, std::size_t n) {
            return crc32_feed_by(path, state, bytes, n);
          });
    }
  }
}

// The fast paths are taken exactly when the processor has their instructions: a wrong answer
// from the feature check would otherwise go unseen, since every path gives the same values.
TEST(Crc32Path, FastPathExactlyWhenTheProcessorHasTheInstructions) {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
  __builtin_cpu_init();
  const bool pclmul = __builtin_cpu_supports("pclmul") != 0;
  EXPECT_EQ(cpu_features().clmul, pclmul);
  EXPECT_EQ(cpu_features().ssse3, __builtin_cpu_supports("ssse3") != 0);
  EXPECT_EQ(crc32_path_available(Crc32Path::clmul), pclmul);
  EXPECT_EQ(crc32_path(63), Crc32Path::table);
  EXPECT_EQ(crc32_path(64), pclmul ? Crc32Path::clmul : Crc32Path::table);
  EXPECT_FALSE(crc32_path_available(Crc32Path::armv8));
#elif defined(__aarch64__)
  if (!promised_cpu_feature("crc32")) {
    GTEST_SKIP() << "VELMORA_CPU_FEATURES does not say whether this processor has CRC32";
  }
  EXPECT_TRUE(cpu_features().crc32);
  for (const std::size_t n : {std::size_t{0}, std::size_t{7}, std::size_t{1} << 20}) {
    EXPECT_EQ(crc32_path(n), Crc32Path::armv8) << n;
  }
#else
  EXPECT_EQ(crc32_path(std::size_t{1} << 20), Crc32Path::table);
#endif
}

// The composition feeds an application stretch by stretch; the pieces must add up to the
// checksum of the whole, wherever they are cut.
TEST(Crc32Feed, PiecesAddUpToTheWhole) {
  const Bytes bytes = random_bytes((std::size_t{1} << 20) + 13, 3);
  const std::uint32_t whole = bitwise_crc(0, bytes.data(), bytes.size());
  EXPECT_EQ(crc32_feed(0, bytes.data(), bytes.size()), whole);
  for (const std::size_t cut : {std::size_t{1}, std::size_t{3}, std::size_t{64}, std::size_t{4095},
                                std::size_t{1} << 19, bytes.size() - 17}) {
    SCOPED_TRACE(cut);
    const std::uint32_t head = crc32_feed(0, bytes.data(), cut);
    EXPECT_EQ(crc32_feed(head, bytes.data() + cut, bytes.size() - cut), whole);
  }
}
