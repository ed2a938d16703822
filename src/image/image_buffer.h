// Memory for the image buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// `length` bytes of fresh memory, their contents unspecified, or nullptr when there is not
// enough. Give them back with free_image_buffer and the same length.
std::uint8_t* allocate_image_buffer(std::size_t length);
void free_image_buffer(std::uint8_t* bytes, std::size_t length);
