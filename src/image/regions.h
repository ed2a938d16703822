// The regions of a download image, in image order, as a header lays them out; and how the
// bytes of a region are compared with another copy of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/boot_header.h"

enum Region : std::size_t {
  bootloader_region,
  header_region,
  header_page_fill_region,
  app1_region,
  app1_fill_region,
  app2_region,
  app2_fill_region,
  region_count
};

// One region: its name in --against and --diff, its name in the map and the JSON report (the
// same but for the fills), the map's words for people, where it lies, and whether its words
// are stored reversed.
struct RegionSpan {
  const char* name = "";
  const char* report_name = "";
  const char* label = "";
  std::int64_t offset = 0;
  std::int64_t end = 0;
  bool reversed = false;
};
using ImageRegions = std::array<RegionSpan, region_count>;

// The regions laid out by `h`: each application at its offset, its fill to the end of its last
// page. A forged header may make them overlap or run past the file; a header of zeros lays
// both applications out empty at 0.
ImageRegions image_regions(const BootHeader& h);

// Bytes that differ: how many, and where the first lies.
struct Mismatch {
  std::int64_t count = 0;
  std::int64_t first = -1;
  // `n` bytes from `at` on differ.
  void note(std::int64_t at, std::int64_t n = 1) {
    first = count == 0 ? at : first;
    count += n;
  }
};

// Notes each of the `n` bytes of `a` and `b` that differ, as `at` plus its index; byte by byte
// only where memcmp finds a difference, since the common case is equality.
void note_differences(const std::uint8_t* a, const std::uint8_t* b, std::int64_t n, std::int64_t at,
                      Mismatch& m);

// The reserved header bytes (those outside every field) that differ, by header offset.
Mismatch reserved_mismatch(const HeaderBytes& a, const HeaderBytes& b);
