// Word reversal reverses exactly the whole words, touches nothing else, and undoes itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image/crc32.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  // The first byte decides how much of the rest is the region to reverse.
  const std::vector<std::uint8_t> original(data + 1, data + size);
  const std::size_t region = data[0] % (original.size() + 1);
  std::vector<std::uint8_t> bytes = original;
  reverse_word_bytes(bytes.data(), region);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t word = i - i % 4;
    const std::size_t from = word + 4 <= region ? word + 3 - i % 4 : i;
    if (bytes[i] != original[from]) {
      std::abort();
    }
  }
  reverse_word_bytes(bytes.data(), region);
  if (!std::equal(bytes.begin(), bytes.end(), original.begin())) {
    std::abort();
  }
  return 0;
}
