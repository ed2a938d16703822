#include "image/regions.h"

#include <cstring>

#include "image/word_reverse.h"

namespace {

struct RegionNames {
  const char* name;
  const char* report_name;
  const char* label;
};

// The map and the JSON report have always called the fills by other names than --against and
// --diff; both are kept as they are printed.
constexpr RegionNames region_names[region_count] = {
    {"bootloader", "bootloader", "bootloader"},
    {"header", "header", "header"},
    {"header_page_fill", "header_page_rest", "rest of the header page"},
    {"app1", "app1", "APP1"},
    {"app1_fill", "app1_padding", "APP1 padding"},
    {"app2", "app2", "APP2"},
    {"app2_fill", "app2_padding", "APP2 padding"},
};

using HeaderMask = std::array<bool, header_size>;

void mark_word(HeaderMask& mask, std::size_t offset) {
  for (std::size_t i = offset; i < offset + 4; ++i) {
    mask[i] = true;
  }
}

// True for each header byte that belongs to a field; every other byte is reserved (0).
const HeaderMask& header_field_bytes() {
  static const HeaderMask field = [] {
    HeaderMask mask{};
    for (const DescriptorPlace& place : descriptor_places) {
      for (const DescriptorField& f : descriptor_fields) {
        mark_word(mask, place.base + f.offset);
      }
    }
    mark_word(mask, header_crc_field);
    return mask;
  }();
  return field;
}

}  // namespace

ImageRegions image_regions(const BootHeader& h) {
  ImageRegions regions;
  const std::int64_t fixed[][2] = {
      {bootloader_offset, header_offset}, {header_offset, header_end}, {header_end, app1_offset}};
  for (std::size_t i = 0; i < 3; ++i) {
    regions[i].offset = fixed[i][0];
    regions[i].end = fixed[i][1];
  }
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
  for (std::size_t i = 0; i < region_count; ++i) {
    regions[i].name = region_names[i].name;
    regions[i].report_name = region_names[i].report_name;
    regions[i].label = region_names[i].label;
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
  const HeaderMask& field = header_field_bytes();
  Mismatch m;
  for (std::size_t i = 0; i < header_size; ++i) {
    if (!field[i] && a[i] != b[i]) {
      m.note(static_cast<std::int64_t>(i));
    }
  }
  return m;
}
