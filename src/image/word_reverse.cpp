#include "image/word_reverse.h"

#include <utility>

void reverse_word_bytes(std::uint8_t* region, std::size_t size) {
  const std::size_t whole = size - size % 4;
  for (std::size_t i = 0; i < whole; i += 4) {
    std::swap(region[i], region[i + 3]);
    std::swap(region[i + 1], region[i + 2]);
  }
}
