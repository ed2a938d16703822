#include "image/layout.h"

#include <gtest/gtest.h>

namespace {

TEST(Pages, RoundsUpToWholePages) {
  EXPECT_EQ(pages(0), 0);
  EXPECT_EQ(pages(1), 1);
  EXPECT_EQ(pages(0x1000), 1);
  EXPECT_EQ(pages(0x1001), 2);
  EXPECT_EQ(pages(0x2000), 2);
  EXPECT_EQ(pages(0x7FFFFFFF), 0x80000);
}

TEST(PlanLayout, PlacesApp2AfterApp1sLastPage) {
  const ImageLayout layout = plan_layout(0x1234, 0x1000);
  EXPECT_EQ(layout.app1_offset, 0x3000);
  EXPECT_EQ(layout.app2_offset, 0x5000);
  EXPECT_EQ(layout.length, 0x6000);
}

TEST(PlanLayout, EmptyApplicationsTakeNoPages) {
  const ImageLayout none = plan_layout(0, 0);
  EXPECT_EQ(none.app2_offset, 0x3000);  // the same offset as APP1
  EXPECT_EQ(none.length, 0x3000);
  const ImageLayout no_app2 = plan_layout(10, 0);
  EXPECT_EQ(no_app2.app2_offset, no_app2.length);  // an empty APP2 starts at the end
}

TEST(PlanLayout, LengthSweepsAcrossPageEdges) {
  for (std::int64_t len = 0x0FFE; len <= 0x2002; ++len) {
    const ImageLayout layout = plan_layout(len, len);
    const std::int64_t expected_pages = len <= 0x1000 ? 1 : (len <= 0x2000 ? 2 : 3);
    ASSERT_EQ(layout.app2_offset, 0x3000 + expected_pages * 0x1000) << len;
    ASSERT_EQ(layout.length, 0x3000 + 2 * expected_pages * 0x1000) << len;
  }
}

TEST(Le32, WritesAndReadsLittleEndian) {
  std::uint8_t bytes[6] = {};
  put_le32(bytes, 1, 0x11223344u);
  EXPECT_EQ(bytes[0], 0x00);
  EXPECT_EQ(bytes[1], 0x44);
  EXPECT_EQ(bytes[4], 0x11);
  EXPECT_EQ(bytes[5], 0x00);
  EXPECT_EQ(get_le32(bytes, 1), 0x11223344u);
  put_le32(bytes, 0, 0xFFFFFFFFu);
  EXPECT_EQ(get_le32(bytes, 0), 0xFFFFFFFFu);  // high bytes widened before shifting
}

}  // namespace
