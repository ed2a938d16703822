#include "image/crc32.h"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

// Carry-less multiplication (PCLMULQDQ) and byte shuffles (SSSE3) are compiled for x86 with GCC
// or Clang behind target attributes and chosen at run time. The word reversal's function starts
// a 64-byte line, so that its short loop never straddles two (bench/README.md). On 64-bit Arm
// the reversal uses NEON, which belongs to the baseline and needs no check.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define VELMORA_CRC32_CLMUL 1
#include <cpuid.h>
#include <immintrin.h>
#define VELMORA_REVERSE_BLOCKS __attribute__((target("ssse3"), aligned(64)))
#define VELMORA_REVERSE_BLOCKS_NOW cpu_features().ssse3
#else
#define VELMORA_CRC32_CLMUL 0
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define VELMORA_REVERSE_BLOCKS
#define VELMORA_REVERSE_BLOCKS_NOW true
#endif

// The CRC32 instructions of 64-bit Arm are optional before ARMv8.1, so they are compiled the
// same way behind a target attribute and chosen at run time.
// GCC's arm_acle.h offers the intrinsics to any function with the attribute; Clang's only to
// builds that target the instructions throughout, so Clang gets its builtins instead.
#if defined(__aarch64__) && defined(__GNUC__)
#define VELMORA_CRC32_ARMV8 1
#if defined(__clang__)
#define VELMORA_CRC_TARGET __attribute__((target("crc")))
#define VELMORA_CRC32D __builtin_arm_crc32d
#define VELMORA_CRC32B __builtin_arm_crc32b
#else
#include <arm_acle.h>
#define VELMORA_CRC_TARGET __attribute__((target("+crc")))
#define VELMORA_CRC32D __crc32d
#define VELMORA_CRC32B __crc32b
#endif
#else
#define VELMORA_CRC32_ARMV8 0
#endif

// On 64-bit Arm the instructions cannot be asked for from user space; Linux hands the
// processor's capabilities to every program in its auxiliary vector.
#if VELMORA_CRC32_ARMV8 && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace {

// `bits` bits of the checksum, lowest first: the polynomial 0x04C11DB7 with its bits reversed.
constexpr std::uint32_t feed_bits(std::uint32_t r, int bits) {
  for (int i = 0; i < bits; ++i) {
    r = (r & 1u) != 0 ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  }
  return r;
}

constexpr std::array<std::uint32_t, 256> crc_table = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    table[i] = feed_bits(i, 8);
  }
  return table;
}();
static_assert(crc_table[1] == 0x77073096u && crc_table[128] == 0xEDB88320u);

std::uint32_t feed_table(std::uint32_t state, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    state = (state >> 8) ^ crc_table[(state ^ bytes[i]) & 0xFFu];
  }
  return state;
}

// Folding starts from four 16-byte blocks; shorter runs go through the table. At 64 bytes
// folding is already about three times as quick.
constexpr std::size_t fold_min_count = 64;

#if VELMORA_CRC32_CLMUL

// The multiplier that carries a 64-bit half of a block n bits further along the message:
// x^n mod P in the table's reflected bit order, stepped from x^0 (0x80000000) as the table is.
// It is shifted left by one because the carry-less product of two reflected numbers comes out
// one bit short of the reflected product.
consteval long long fold_constant(int n) {
  return static_cast<long long>(std::uint64_t{feed_bits(0x80000000u, n)} << 1);
}

#define VELMORA_CLMUL_TARGET __attribute__((target("pclmul")))

VELMORA_CLMUL_TARGET __m128i load_block(const std::uint8_t* bytes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

// Replaces `block` by a value of the same checksum weight 128 bits (or 512 bits) further on
// and adds the block found there.
VELMORA_CLMUL_TARGET __m128i fold_into(__m128i block, __m128i multipliers, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(block, multipliers, 0x00);
  const __m128i high = _mm_clmulepi64_si128(block, multipliers, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// The checksum is linear, so a message can be shortened from the front by folding its first
// block into the following ones without changing the result. Four running blocks keep the
// multiplier busy; at the end they fold into one, and its 16 bytes and the last few bytes
// of the message go through the table.
VELMORA_CLMUL_TARGET std::uint32_t feed_folding(std::uint32_t state, const std::uint8_t* bytes,
                                                std::size_t count) {
  // Each block is carried forward over 4 blocks in the main loop, over one block at the end.
  // The low half of a block holds the earlier bytes, so it travels 64 bits further.
  const __m128i by4 = _mm_set_epi64x(fold_constant(4 * 128 - 32), fold_constant(4 * 128 + 32));
  const __m128i by1 = _mm_set_epi64x(fold_constant(128 - 32), fold_constant(128 + 32));

  __m128i x[4];
  for (int i = 0; i < 4; ++i) {
    x[i] = load_block(bytes + 16 * i);
  }
  // The state enters as if it were XORed into the first four message bytes.
  x[0] = _mm_xor_si128(x[0], _mm_cvtsi32_si128(static_cast<int>(state)));
  const std::uint8_t* p = bytes + 64;
  std::size_t left = count - 64;
  for (; left >= 64; p += 64, left -= 64) {
    for (int i = 0; i < 4; ++i) {
      x[i] = fold_into(x[i], by4, load_block(p + 16 * i));
    }
  }
  for (int i = 1; i < 4; ++i) {
    x[0] = fold_into(x[0], by1, x[i]);
  }
  for (; left >= 16; p += 16, left -= 16) {
    x[0] = fold_into(x[0], by1, load_block(p));
  }

  std::array<std::uint8_t, 16> folded;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(folded.data()), x[0]);
  return feed_table(feed_table(0, folded.data(), folded.size()), p, left);
}

#endif

#if VELMORA_CRC32_ARMV8

// CRC32X takes the bytes of its 64-bit operand lowest first, in either byte order.
std::uint64_t load_le64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, 8);
  return std::endian::native == std::endian::little ? value : __builtin_bswap64(value);
}

// Each instruction is one table step per byte of its operand, with the state passed in and
// out unchanged in form: no inversion before or after.
VELMORA_CRC_TARGET std::uint32_t feed_crc_instructions(std::uint32_t state,
                                                       const std::uint8_t* bytes,
                                                       std::size_t count) {
  std::size_t i = 0;
  for (; count - i >= 8; i += 8) {
    state = VELMORA_CRC32D(state, load_le64(bytes + i));
  }
  for (; i < count; ++i) {
    state = VELMORA_CRC32B(state, bytes[i]);
  }
  return state;
}

#endif

#ifdef VELMORA_REVERSE_BLOCKS

// Reverses the words of the whole 16-byte blocks among the first `count` bytes and returns
// how many bytes it covered.
VELMORA_REVERSE_BLOCKS std::size_t reverse_blocks(std::uint8_t* region, std::size_t count) {
  std::size_t i = 0;
#ifndef __aarch64__
  const __m128i order = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
#endif
  for (; count - i >= 16; i += 16) {
#ifdef __aarch64__
    vst1q_u8(region + i, vrev32q_u8(vld1q_u8(region + i)));
#else
    __m128i* block = reinterpret_cast<__m128i*>(region + i);
    _mm_storeu_si128(block, _mm_shuffle_epi8(_mm_loadu_si128(block), order));
#endif
  }
  return i;
}

#endif

}  // namespace

// One CPUID leaf answers both questions; the compiler's own check would ask many more at every
// start, each a trip out of the guest under a hypervisor.
const CpuFeatures& cpu_features() {
  static const CpuFeatures features = [] {
    CpuFeatures f;
#if VELMORA_CRC32_CLMUL
    unsigned r[4] = {};  // eax, ebx, ecx, edx
    if (__get_cpuid(1, &r[0], &r[1], &r[2], &r[3]) != 0) {
      f.clmul = (r[2] & bit_PCLMUL) != 0;
      f.ssse3 = (r[2] & bit_SSSE3) != 0;
    }
#endif
#if VELMORA_CRC32_ARMV8 && defined(__linux__)
    f.crc32 = (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0;
#endif
    return f;
  }();
  return features;
}

bool crc32_path_available(Crc32Path path) {
  return path == Crc32Path::table ||
         (path == Crc32Path::clmul ? cpu_features().clmul : cpu_features().crc32);
}

// Unlike folding, the instructions need no setup, so they take runs of every length.
Crc32Path crc32_path(std::size_t count) {
  if (crc32_path_available(Crc32Path::armv8)) {
    return Crc32Path::armv8;
  }
  if (count >= fold_min_count && crc32_path_available(Crc32Path::clmul)) {
    return Crc32Path::clmul;
  }
  return Crc32Path::table;
}

std::uint32_t crc32_feed_by([[maybe_unused]] Crc32Path path, std::uint32_t state,
                            const std::uint8_t* bytes, std::size_t count) {
#if VELMORA_CRC32_CLMUL
  if (path == Crc32Path::clmul && count >= fold_min_count) {
    return feed_folding(state, bytes, count);
  }
#endif
#if VELMORA_CRC32_ARMV8
  if (path == Crc32Path::armv8) {
    return feed_crc_instructions(state, bytes, count);
  }
#endif
  return feed_table(state, bytes, count);
}

std::uint32_t crc32_feed(std::uint32_t state, const std::uint8_t* bytes, std::size_t count) {
  return crc32_feed_by(crc32_path(count), state, bytes, count);
}

void reverse_word_bytes(std::uint8_t* region, std::size_t size) {
  const std::size_t whole = size - size % 4;
  std::size_t done = 0;
#ifdef VELMORA_REVERSE_BLOCKS
  if (VELMORA_REVERSE_BLOCKS_NOW) {
    done = reverse_blocks(region, whole);
  }
#endif
  for (std::size_t i = done; i < whole; i += 4) {
    std::swap(region[i], region[i + 3]);
    std::swap(region[i + 1], region[i + 2]);
  }
}
