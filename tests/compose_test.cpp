#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/run_args.h"
#include "image/boot_header.h"
#include "image/compose.h"
#include "image/crc32.h"
#include "image/layout.h"
#include "support/files.h"

namespace {

Bytes word_reversed(Bytes bytes) {
  for (std::size_t w = 0; w + 4 <= bytes.size(); w += 4) {
    std::swap(bytes[w], bytes[w + 3]);
    std::swap(bytes[w + 1], bytes[w + 2]);
  }
  return bytes;
}

// The image as the format describes it, except the header bytes: 0xFF, then the bootloader,
// then each application over its own bytes.
Bytes expected_image(std::size_t length, const Bytes& boot, const Bytes& app1,
                     std::size_t app2_offset, const Bytes& app2) {
  Bytes image(length, 0xFF);
  std::copy(boot.begin(), boot.end(), image.begin());
  std::copy(app1.begin(), app1.end(), image.begin() + app1_offset);
  std::copy(app2.begin(), app2.end(), image.begin() + static_cast<std::ptrdiff_t>(app2_offset));
  return image;
}

struct Case {
  const char* what;
  std::size_t boot_length;
  std::size_t app1_length;
  std::size_t app2_length;
  std::uint32_t load_addr1;
  std::uint32_t load_addr2;
};

}  // namespace

// Applications are read, checksummed and reversed stretch by stretch; the image must not show
// where the stretches end, and the filling must leave alone whatever the inputs cover.
TEST(ComposeDownloadImage, SameImageWhereverTheStretchesEnd) {
  constexpr std::size_t mib = std::size_t{1} << 20;
  const Case cases[] = {
      // Several stretches each, both reversed, lengths not a whole number of words.
      {"both high", 0x1800, 3 * mib + 5, 2 * mib + 2, 0x11000000u, 0xFFFFFFFFu},
      // One byte around a stretch boundary of the usual powers of two.
      {"just under", 0x100, mib / 4 - 1, mib / 2 - 3, 0x11000000u, 0x11000000u},
      {"just over", 0x100, mib / 4 + 1, mib / 2 + 3, 0x11000000u, 0x10000000u},
      // A bootloader that runs on through the header page, all of APP1 and into APP2's region.
      {"long bootloader", 0x3000 + mib + 7 + 0x1800, mib + 7, mib, 0x10000000u, 0x11000000u},
      {"empty applications", 0x2200, 0, 0, 0x11000000u, 0x11000000u},
  };
  std::uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes boot = random_bytes(c.boot_length, seed++);
    const Bytes app1 = random_bytes(c.app1_length, seed++);
    const Bytes app2 = random_bytes(c.app2_length, seed++);
    ScratchDir dir;
    const std::string boot_path = dir.file("boot.bin");
    const std::string app1_path = dir.file("app1.bin");
    const std::string app2_path = dir.file("app2.bin");
    write_bytes(boot_path, boot);
    write_bytes(app1_path, app1);
    write_bytes(app2_path, app2);
    RunArgs args;
    args.src1 = boot_path.c_str();
    args.src2 = app1_path.c_str();
    args.src3 = app2_path.c_str();
    args.load_addr1 = c.load_addr1;
    args.load_addr2 = c.load_addr2;
    args.status1 = 1;
    args.status2 = 1;

    DownloadImage image = compose_download_image(args);
    const ImageLayout layout =
        plan_layout(static_cast<std::int64_t>(app1.size()), static_cast<std::int64_t>(app2.size()));
    ASSERT_EQ(image.length, layout.length);
    const Bytes actual(image.bytes, image.bytes + image.length);
    release_download_image(image);

    const bool high1 = c.load_addr1 >= high_window_start;
    const bool high2 = c.load_addr2 >= high_window_start;
    Bytes expected = expected_image(actual.size(), boot, high1 ? word_reversed(app1) : app1,
                                    static_cast<std::size_t>(layout.app2_offset),
                                    high2 ? word_reversed(app2) : app2);
    HeaderBytes header;
    std::copy_n(actual.begin() + header_offset, header.size(), header.begin());
    std::copy(header.begin(), header.end(), expected.begin() + header_offset);
    EXPECT_TRUE(actual == expected);

    const BootHeader decoded = decode_boot_header(header);
    EXPECT_EQ(decoded.app1.crc, crc32_feed_table(0, app1.data(), app1.size()));
    EXPECT_EQ(decoded.app2.crc, crc32_feed_table(0, app2.data(), app2.size()));
    EXPECT_EQ(decoded.header_crc, crc32_feed_table(0, header.data(), header_crc_covered));
  }
}
