// The image checksum: reflected CRC-32 (polynomial 0x04C11DB7) starting from 0 with no final
// inversion, so its values differ from the common CRC-32 that uses the same table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using Crc32Table = std::array<std::uint32_t, 256>;

constexpr Crc32Table crc32_make_table() {
  Crc32Table table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) {
      r = (r & 1u) != 0 ? (r >> 1) ^ 0xEDB88320u : r >> 1;
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
// starts from state 0 and its final state is the value stored.
std::uint32_t crc32_feed(std::uint32_t state, const std::uint8_t* bytes, std::size_t count);
