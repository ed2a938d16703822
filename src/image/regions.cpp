#include "image/regions.h"

#include <cstring>

ImageRegions image_regions(const BootHeader& h) {
  ImageRegions regions = {{
      {"bootloader", "bootloader", "bootloader", bootloader_offset, header_offset},
      {"header", "header", "header", header_offset, header_end},
      {"header_page_fill", "header_page_rest", "rest of the header page", header_end, app1_offset},
      {"app1", "app1", "APP1"},
      {"app1_fill", "app1_padding", "APP1 padding"},
      {"app2", "app2", "APP2"},
      {"app2_fill", "app2_padding", "APP2 padding"},
  }};
  for (std::size_t app = 0; app < 2; ++app) {
    const ImageDescriptor& d = h.*descriptor_places[app].member;
    RegionSpan& bytes = regions[app1_region + 2 * app];
    RegionSpan& fill = regions[app1_fill_region + 2 * app];
    // Both fields are 32-bit, so 64 bits hold their sum however they were forged.
    bytes.offset = d.offset;
    bytes.end = std::int64_t{d.offset} + std::int64_t{d.size};
    bytes.reversed = in_high_window(d.load_addr);
    fill.offset = bytes.end;
    fill.end = std::int64_t{d.offset} + pages(d.size) * page_size;
  }
  return regions;
}

void note_differences(const std::uint8_t* a, const std::uint8_t* b, std::int64_t n, std::int64_t at,
                      Mismatch& m) {
  if (n <= 0 || std::memcmp(a, b, static_cast<std::size_t>(n)) == 0) {
    return;
  }
  for (std::int64_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) {
      m.note(at + i);
    }
  }
}

Mismatch reserved_mismatch(const HeaderBytes& a, const HeaderBytes& b) {
  // Bytes of all ones, decoded and encoded again, keep the fields' bytes and clear the rest.
  HeaderBytes ones;
  ones.fill(0xFF);
  const HeaderBytes field = encode_boot_header(decode_boot_header(ones));
  Mismatch m;
  for (std::size_t i = 0; i < header_size; ++i) {
    if (field[i] == 0 && a[i] != b[i]) {
      m.note(static_cast<std::int64_t>(i));
    }
  }
  return m;
}
