// Comparison of download images region by region, each laid out by its own header: two images
// side by side a stretch at a time (--diff), or an image and what velmora writes (--against).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/boot_header.h"
#include "image/regions.h"
#include "inspect/byte_source.h"

enum class RegionKind {
  field,   // a header field: `a` and `b`, unknown on a side without a header
  bytes,   // bytes of a region: `held_a`, `held_b`, `count`, `first`
  length,  // the file lengths: `a` and `b`
};

// One region, header field or length compared. In --against, A is the image and B what the
// inputs give.
struct RegionDiff {
  RegionKind kind = RegionKind::bytes;
  std::string what;  // stable name: "bootloader", "app1.load_addr", "app2_fill", "length", ...
  bool same = true;
  std::int64_t a = 0;
  std::int64_t b = 0;
  bool a_known = true;  // false for a field of a file without a header
  bool b_known = true;
  std::int64_t held_a = 0;  // bytes of the region in each file, as far as the file holds it
  std::int64_t held_b = 0;
  std::int64_t count = 0;     // bytes that differ, those that only one side holds included
  std::int64_t first = 0;     // the first of them, as an offset in the region
  std::int64_t offset_a = 0;  // where the region starts in each file
  std::int64_t offset_b = 0;
};

// The row of the bytes `m` found differing in a region at `offset` in both files.
RegionDiff bytes_row(const char* what, const Mismatch& m, std::int64_t offset);
// The row of the two lengths.
RegionDiff length_row(std::int64_t a, std::int64_t b);

// One row per header field in header order, app1's, app2's, then header_crc; a field is the
// same where both sides know it and it is equal, or neither knows it.
void compare_fields(const BootHeader& a, const BootHeader& b, bool a_known, bool b_known,
                    std::vector<RegionDiff>& out);

struct DiffReport {
  std::int64_t length_a = 0;
  std::int64_t length_b = 0;
  // bootloader, each header field by name, header_reserved, header_page_fill, app1,
  // app1_fill, app2, app2_fill, outside (the bytes of each file that no other region covers:
  // after the image's end, or in a gap a forged header leaves), length: always all of them,
  // in this order.
  std::vector<RegionDiff> regions;
};

// Compares the two images; applications are compared un-reversed, so that one moved between
// the windows shows as its load address alone. False, with `error` naming the path and the
// reason, only when a file cannot be read.
bool diff_images(const ByteSource& a, const ByteSource& b, DiffReport& report, std::string& error);

// How many regions differ; inspect_exit_pass when none does, else inspect_exit_fail.
std::int64_t regions_differing(const DiffReport& r);
int diff_exit_status(const DiffReport& r);
