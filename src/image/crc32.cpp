#include "image/crc32.h"

std::uint32_t crc32_feed(std::uint32_t state, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    state = (state >> 8) ^ crc32_table[(state ^ bytes[i]) & 0xFFu];
  }
  return state;
}
