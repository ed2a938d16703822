#include "image/word_reverse.h"

#include <cstring>

#include "image/crc32.h"

// A byte shuffle (SSSE3) reverses four words at once; it is compiled for x86 with GCC or
// Clang behind a target attribute and chosen at run time, so the generic build keeps working
// on any processor.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define VELMORA_REVERSE_SHUFFLE 1
#include <immintrin.h>
#else
#define VELMORA_REVERSE_SHUFFLE 0
#endif

// On 64-bit Arm, NEON belongs to the baseline: its byte reversal within 32-bit lanes needs no
// check at run time.
#if defined(__aarch64__) && defined(__ARM_NEON)
#define VELMORA_REVERSE_NEON 1
#include <arm_neon.h>
#else
#define VELMORA_REVERSE_NEON 0
#endif

namespace {

// `count` is a multiple of 4.
void reverse_words_one_by_one(std::uint8_t* region, std::size_t count) {
  for (std::size_t i = 0; i < count; i += 4) {
    std::uint32_t w = 0;
    std::memcpy(&w, region + i, 4);
    w = (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
    std::memcpy(region + i, &w, 4);
  }
}

#if VELMORA_REVERSE_SHUFFLE

// Reverses the words of the whole 16-byte blocks among the first `count` bytes and returns
// how many bytes it covered.
__attribute__((target("ssse3"))) std::size_t reverse_blocks_shuffled(std::uint8_t* region,
                                                                     std::size_t count) {
  const __m128i order = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  std::size_t i = 0;
  for (; count - i >= 16; i += 16) {
    __m128i* block = reinterpret_cast<__m128i*>(region + i);
    _mm_storeu_si128(block, _mm_shuffle_epi8(_mm_loadu_si128(block), order));
  }
  return i;
}

#endif

#if VELMORA_REVERSE_NEON

// Reverses the words of the whole 16-byte blocks among the first `count` bytes and returns
// how many bytes it covered.
std::size_t reverse_blocks_neon(std::uint8_t* region, std::size_t count) {
  std::size_t i = 0;
  for (; count - i >= 16; i += 16) {
    vst1q_u8(region + i, vrev32q_u8(vld1q_u8(region + i)));
  }
  return i;
}

#endif

}  // namespace

void reverse_word_bytes(std::uint8_t* region, std::size_t size) {
  const std::size_t whole = size - size % 4;
  std::size_t done = 0;
#if VELMORA_REVERSE_SHUFFLE
  if (cpu_features().ssse3) {
    done = reverse_blocks_shuffled(region, whole);
  }
#endif
#if VELMORA_REVERSE_NEON
  done = reverse_blocks_neon(region, whole);
#endif
  reverse_words_one_by_one(region + done, whole - done);
}
