#include "image/boot_header.h"

#include <gtest/gtest.h>

#include "support/model.h"

namespace {

TEST(DescribeApplication, StatusAndFlagRule) {
  struct Case {
    std::uint32_t load_addr;
    std::int8_t raw_status;
    std::uint32_t status;
    std::uint32_t flags;
  };
  const Case cases[] = {
      {0x11000000, 2, 1, 0x8000},  // high window, status above 1: the flag
      {0x11000000, 1, 1, 0},       // status 1: no flag
      {0x10000000, 2, 1, 0},       // low window: never a flag
      {0x10FFFFFF, 2, 1, 0},       // just below the window
      {0x11000000, -128, 1, 0},    // raw 0x80 is negative: no flag
      {0x11000000, -1, 1, 0},      // raw 0xff
      {0x11000000, 0, 0, 0},       // invalid
      {0xFFFFFFFF, 127, 1, 0x8000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.load_addr << " " << int{c.raw_status});
    const ImageDescriptor d = describe_application(c.load_addr, c.raw_status);
    EXPECT_EQ(d.status, c.status);
    EXPECT_EQ(d.flags, c.flags);
    EXPECT_EQ(d.load_addr, c.load_addr);
  }
}

BootHeader sample_header() {
  BootHeader h;
  h.app1 = {1, 0, 0xAABBCCDD, 0x3000, 0x1234, 0x10000000};
  h.app2 = {1, 0x8000, 0x01020304, 0x5000, 0x100, 0x11000000};
  h.header_crc = 0xCAFEF00D;
  return h;
}

TEST(EncodeBootHeader, PutsEachFieldAtItsOffsetLittleEndianAndDecodeReadsItBack) {
  const HeaderBytes b = encode_boot_header(sample_header());
  // Offsets written out here rather than taken from the layout constants.
  EXPECT_EQ(get_le32(b.data(), 0x00), 1u);
  EXPECT_EQ(get_le32(b.data(), 0x04), 0u);
  EXPECT_EQ(get_le32(b.data(), 0x08), 0xAABBCCDDu);
  EXPECT_EQ(get_le32(b.data(), 0x0C), 0x3000u);
  EXPECT_EQ(get_le32(b.data(), 0x10), 0x1234u);
  EXPECT_EQ(get_le32(b.data(), 0x20), 0x10000000u);
  EXPECT_EQ(get_le32(b.data(), 0x30), 1u);
  EXPECT_EQ(b[0x34], 0x00);
  EXPECT_EQ(b[0x35], 0x80);  // the flag's bytes are 00 80 00 00
  EXPECT_EQ(get_le32(b.data(), 0x38), 0x01020304u);
  EXPECT_EQ(get_le32(b.data(), 0x3C), 0x5000u);
  EXPECT_EQ(get_le32(b.data(), 0x40), 0x100u);
  EXPECT_EQ(get_le32(b.data(), 0x50), 0x11000000u);
  EXPECT_EQ(b[0xF0], 0x0D);
  EXPECT_EQ(b[0xF3], 0xCA);

  // Read back from the bytes just checked, every field must come out as the literals above.
  const BootHeader back = decode_boot_header(b);
  for (const auto& [got, want] :
       {std::pair{back.app1, ImageDescriptor{1, 0, 0xAABBCCDD, 0x3000, 0x1234, 0x10000000}},
        std::pair{back.app2, ImageDescriptor{1, 0x8000, 0x01020304, 0x5000, 0x100, 0x11000000}}}) {
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.flags, want.flags);
    EXPECT_EQ(got.crc, want.crc);
    EXPECT_EQ(got.offset, want.offset);
    EXPECT_EQ(got.size, want.size);
    EXPECT_EQ(got.load_addr, want.load_addr);
  }
  EXPECT_EQ(back.header_crc, 0xCAFEF00Du);
}

TEST(EncodeBootHeader, ReservedBytesStayZero) {
  BootHeader h;
  h.app1 = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  h.app2 = h.app1;
  h.header_crc = 0xFFFFFFFF;
  const HeaderBytes b = encode_boot_header(h);
  const std::pair<std::size_t, std::size_t> reserved[] = {
      {0x14, 0x20}, {0x24, 0x30}, {0x44, 0x50}, {0x54, 0xF0}, {0xF4, 0x100}};
  for (const auto& [from, to] : reserved) {
    for (std::size_t i = from; i < to; ++i) {
      EXPECT_EQ(b[i], 0) << "byte " << i;
    }
  }
}

TEST(ComputeHeaderCrc, CoversEveryFieldButItsOwn) {
  const BootHeader h = sample_header();
  const HeaderBytes base = encode_boot_header(h);
  const std::uint32_t crc = compute_header_crc(base);
  EXPECT_EQ(crc, model_crc(base.data(), 0xF0));
  // Any byte in front of the crc field changes it; bytes from 0xF0 on do not.
  for (std::size_t i = 0; i < base.size(); ++i) {
    HeaderBytes changed = base;
    changed[i] ^= 0x01;
    if (i < 0xF0) {
      EXPECT_NE(compute_header_crc(changed), crc) << "byte " << i;
    } else {
      EXPECT_EQ(compute_header_crc(changed), crc) << "byte " << i;
    }
  }
}

}  // namespace
