// The image checksum: reflected CRC-32 (polynomial 0x04C11DB7) starting from 0 with no final
// inversion, so its values differ from the common CRC-32 that uses the same table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using Crc32Table = std::array<std::uint32_t, 256>;

// The polynomial 0x04C11DB7 with its bits reversed: the checksum works on each byte's lowest
// bit first.
inline constexpr std::uint32_t crc32_polynomial = 0xEDB88320u;

constexpr Crc32Table crc32_make_table() {
  Crc32Table table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) {
      r = (r & 1u) != 0 ? (r >> 1) ^ crc32_polynomial : r >> 1;
    }
    table[i] = r;
  }
  return table;
}

// Built once, at compile time, and only read afterwards.
inline constexpr Crc32Table crc32_table = crc32_make_table();
static_assert(crc32_table[1] == 0x77073096u);
static_assert(crc32_table[128] == 0xEDB88320u);

// Runs `count` bytes through the checksum state and returns the new state; a checksum
// starts from state 0 and its final state is the value stored. It goes the way crc32_path
// names for `count`.
std::uint32_t crc32_feed(std::uint32_t state, const std::uint8_t* bytes, std::size_t count);

// The ways crc32_feed computes the same value. Each is reachable on its own below, so that
// they can be held against each other.
enum class Crc32Path {
  table,  // one table lookup per byte; any processor
  clmul,  // folding with carry-less multiplication (x86)
  armv8,  // the CRC32 instructions (64-bit Arm)
};

// The path crc32_feed takes for a run of `count` bytes on this processor: the processor's
// own instructions where it has them, except that folding only pays from 64 bytes on.
Crc32Path crc32_path(std::size_t count);

// One table lookup per byte; any processor.
std::uint32_t crc32_feed_table(std::uint32_t state, const std::uint8_t* bytes, std::size_t count);

// True when this build and this processor can fold with carry-less multiplication.
bool crc32_clmul_available();

// Folds 64 bytes at a time with carry-less multiplication and finishes with the table;
// runs shorter than 64 bytes go through the table alone. Only to be called when
// crc32_clmul_available() is true; on builds without the instruction it is the table path.
std::uint32_t crc32_feed_clmul(std::uint32_t state, const std::uint8_t* bytes, std::size_t count);

// True when this build and this processor have the ARMv8 CRC32 instructions. They use this
// checksum's polynomial in the same bit order and leave the start value and any final step
// to the caller, so they continue a state exactly as the table does.
bool crc32_armv8_available();

// Eight bytes per instruction, the last few one at a time. Only to be called when
// crc32_armv8_available() is true; on builds without the instructions it is the table path.
std::uint32_t crc32_feed_armv8(std::uint32_t state, const std::uint8_t* bytes, std::size_t count);
