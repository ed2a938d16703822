// Applications loaded in the high window are stored with each 32-bit word byte-reversed.
#pragma once

#include <cstddef>
#include <cstdint>

// Reverses the bytes of each whole 4-byte word among the first `size` bytes of `region`;
// the last size % 4 bytes keep their order.
void reverse_word_bytes(std::uint8_t* region, std::size_t size);
