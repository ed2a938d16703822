// The download image layout: where each region lies, the header's size, the high window.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::int64_t page_size = 0x1000;

// Image regions, as offsets from the start of the image.
inline constexpr std::int64_t bootloader_offset = 0x0000;
inline constexpr std::int64_t bootloader_region_size = 0x2000;
inline constexpr std::int64_t header_offset = bootloader_offset + bootloader_region_size;  // 0x2000
inline constexpr std::int64_t app1_offset = header_offset + page_size;                     // 0x3000

// Boot header: 256 bytes of little-endian 32-bit words, its own checksum at header_crc_field
// (boot_header.h places the descriptors' fields).
inline constexpr std::size_t header_size = 0x100;
inline constexpr std::size_t header_crc_field = 0xF0;
// Where the header ends in the image; the rest of its page follows.
inline constexpr std::int64_t header_end = header_offset + std::int64_t{header_size};

// Load addresses at or above this are in the high window: stored word-reversed.
inline constexpr std::uint32_t high_window_start = 0x11000000;
constexpr bool in_high_window(std::uint32_t load_addr) {
  return load_addr >= high_window_start;
}
// The only flag bit a descriptor ever carries.
inline constexpr std::uint32_t flag_high_window_status = 0x00008000;

static_assert(header_size <= static_cast<std::size_t>(page_size), "the header fits its page");
static_assert(header_crc_field + 4 <= header_size);

// Pages taken by `len` bytes, rounded up.
constexpr std::int64_t pages(std::int64_t len) {
  return (len + page_size - 1) / page_size;
}

// Where the two applications lie and how long the image is, from the file lengths.
struct ImageLayout {
  std::int64_t app1_offset = 0;
  std::int64_t app1_size = 0;
  std::int64_t app2_offset = 0;
  std::int64_t app2_size = 0;
  std::int64_t length = 0;  // L: a multiple of page_size, at least three pages
};

constexpr ImageLayout plan_layout(std::int64_t len1, std::int64_t len2) {
  const std::int64_t app2_at = app1_offset + pages(len1) * page_size;
  return {app1_offset, len1, app2_at, len2, app2_at + pages(len2) * page_size};
}

// Reading and writing little-endian 32-bit fields byte by byte.
inline void put_le32(std::uint8_t* bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

inline std::uint32_t get_le32(const std::uint8_t* bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) {
    value = (value << 8) | bytes[offset + i];
  }
  return value;
}
