#include "inspect/byte_source.h"

#include <algorithm>

std::vector<std::uint8_t> stretch_buffer(std::int64_t most) {
  const std::int64_t words = (std::max<std::int64_t>(most, 0) + 3) / 4 * 4;
  return std::vector<std::uint8_t>(static_cast<std::size_t>(std::min(words, stretch_bytes)));
}
