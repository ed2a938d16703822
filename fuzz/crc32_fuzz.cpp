// The checksum agrees with a bit-at-a-time reference, whole and fed in two pieces, on every
// path: the table, the carry-less multiplication folding or the ARMv8 CRC32 instructions where
// the processor has them, and the choice between them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "image/crc32.h"

namespace {

std::uint32_t reference_crc(std::uint32_t state, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    state ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      state = (state & 1u) != 0 ? (state >> 1) ^ 0xEDB88320u : state >> 1;
    }
  }
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) {
    return 0;
  }
  // The first four bytes give a starting state, the fifth a place to cut the rest.
  const std::uint32_t start =
      static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
      (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
  const std::uint8_t* bytes = data + 5;
  const std::size_t count = size - 5;
  const std::size_t cut = count == 0 ? 0 : data[4] % (count + 1);
  const std::uint32_t expected = reference_crc(start, bytes, count);
  if (crc32_feed(start, bytes, count) != expected) {
    std::abort();
  }
  if (crc32_feed(crc32_feed(start, bytes, cut), bytes + cut, count - cut) != expected) {
    std::abort();
  }
  // Every way the checksum can go, where this build and processor offer it.
  for (const Crc32Path path : {Crc32Path::table, Crc32Path::clmul, Crc32Path::armv8}) {
    if (crc32_path_available(path) && crc32_feed_by(path, start, bytes, count) != expected) {
      std::abort();
    }
  }
  return 0;
}
