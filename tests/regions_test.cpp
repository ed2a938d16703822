#include "image/regions.h"

#include <gtest/gtest.h>

namespace {

// Each region's names and place, from literals: a sound header and a forged one.
TEST(ImageRegions, LaysOutEachRegionInImageOrderFromTheHeader) {
  struct Row {
    const char* name;
    const char* report_name;
    std::int64_t offset;
    std::int64_t end;
    bool reversed;
  };
  BootHeader h;
  h.app1 = {1, 0, 0, 0x3000, 0x1234, 0x10000000};
  h.app2 = {1, 0, 0, 0x5000, 0x1000, 0x11000000};
  const Row sound[] = {{"bootloader", "bootloader", 0, 0x2000, false},
                       {"header", "header", 0x2000, 0x2100, false},
                       {"header_page_fill", "header_page_rest", 0x2100, 0x3000, false},
                       {"app1", "app1", 0x3000, 0x4234, false},
                       {"app1_fill", "app1_padding", 0x4234, 0x5000, false},
                       {"app2", "app2", 0x5000, 0x6000, true},
                       {"app2_fill", "app2_padding", 0x6000, 0x6000, false}};
  // A forged header: offsets and sizes at their largest, APP1 in the high window.
  BootHeader forged;
  forged.app1 = {0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  const Row far[] = {{"app1", "app1", 0xFFFFFFFF, 0x1FFFFFFFE, true},
                     {"app1_fill", "app1_padding", 0x1FFFFFFFE, 0x1FFFFFFFF, false},
                     {"app2", "app2", 0, 0, false},
                     {"app2_fill", "app2_padding", 0, 0, false}};
  const auto expect = [](const ImageRegions& got, std::size_t from, const Row* rows,
                         std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const RegionSpan& r = got[from + i];
      SCOPED_TRACE(rows[i].name);
      EXPECT_STREQ(r.name, rows[i].name);
      EXPECT_STREQ(r.report_name, rows[i].report_name);
      EXPECT_EQ(r.offset, rows[i].offset);
      EXPECT_EQ(r.end, rows[i].end);
      EXPECT_EQ(r.reversed, rows[i].reversed);
    }
  };
  expect(image_regions(h), 0, sound, std::size(sound));
  expect(image_regions(forged), app1_region, far, std::size(far));
}

TEST(Mismatch, CountsDifferingBytesAndTheFirst) {
  const std::uint8_t a[] = {1, 2, 3, 4, 5, 6};
  const std::uint8_t b[] = {1, 9, 3, 9, 9, 6};
  Mismatch m;
  note_differences(a, b, 6, 0x100, m);
  EXPECT_EQ(m.count, 3);
  EXPECT_EQ(m.first, 0x101);
  note_differences(a, b, 1, 0, m);  // equal bytes add nothing
  m.note(0x200, 5);                 // a run keeps the first
  EXPECT_EQ(m.count, 8);
  EXPECT_EQ(m.first, 0x101);
  Mismatch none;
  note_differences(a, a, 6, 0, none);
  EXPECT_EQ(none.count, 0);
}

// Only the bytes outside every field: 0x14-0x1F and 0x24-0x2F of each descriptor, and
// 0x60-0xEF and 0xF4-0xFF.
TEST(ReservedMismatch, LooksOnlyAtBytesOutsideTheFields) {
  HeaderBytes zero{};
  HeaderBytes fields{};
  for (const std::size_t at : {0x00u, 0x13u, 0x20u, 0x23u, 0x30u, 0x53u, 0xF0u, 0xF3u}) {
    fields[at] = 0xAA;
  }
  EXPECT_EQ(reserved_mismatch(fields, zero).count, 0);
  HeaderBytes reserved{};
  for (const std::size_t at :
       {0x14u, 0x1Fu, 0x24u, 0x2Fu, 0x44u, 0x5Fu, 0x60u, 0xEFu, 0xF4u, 0xFFu}) {
    reserved[at] = 1;
  }
  const Mismatch m = reserved_mismatch(zero, reserved);
  EXPECT_EQ(m.count, 10);
  EXPECT_EQ(m.first, 0x14);
}

}  // namespace
