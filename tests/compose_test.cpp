#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/run_args.h"
#include "image/compose.h"
#include "support/files.h"
#include "support/model.h"

namespace {

struct Case {
  const char* what;
  std::size_t boot_length;
  std::size_t app1_length;
  std::size_t app2_length;
  std::uint32_t load_addr1;
  std::uint32_t load_addr2;
};

// Composes in this process, as velmora's run does, into `out`.
void compose_into(const RunArgs& args, const std::string& out) {
  Composition composition;
  start_composition(args, composition);
  OutputFile file;
  open_output_or_fail(out.c_str(), file);
  compose_download_image(composition, file);
}

}  // namespace

// The image is made stretch by stretch; it must not show where the stretches end, whether it
// is renamed into place (a new file) or copied (a file with another link), and the filling
// must leave alone whatever the inputs cover.
TEST(ComposeDownloadImage, SameImageWhereverTheStretchesEnd) {
  constexpr std::size_t mib = std::size_t{1} << 20;
  constexpr auto stretch = static_cast<std::size_t>(stretch_size);
  const Case cases[] = {
      // Several stretches each, both reversed, lengths not a whole number of words.
      {"both high", 0x1800, 3 * mib + 5, 2 * mib + 2, 0x11000000u, 0xFFFFFFFFu},
      // One byte around a stretch boundary, in the image and in each application.
      {"just under", 0x100, stretch - 0x3000 - 1, stretch - 3, 0x11000000u, 0x11000000u},
      {"just over", 0x100, stretch - 0x3000 + 1, stretch + 3, 0x11000000u, 0x10000000u},
      // A bootloader that runs on through the header page, all of APP1 and into APP2's region,
      // across a stretch boundary.
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
    args.status2 = 2;
    const Bytes expected = model_image(boot, {app1, c.load_addr1, 1}, {app2, c.load_addr2, 2});

    compose_into(args, dir.file("new.bin"));
    EXPECT_TRUE(read_bytes(dir.file("new.bin")) == expected);

    write_bytes(dir.file("linked.bin"), Bytes(10, 0));
    ASSERT_EQ(link(dir.file("linked.bin").c_str(), dir.file("other.bin").c_str()), 0);
    compose_into(args, dir.file("linked.bin"));
    EXPECT_TRUE(read_bytes(dir.file("other.bin")) == expected);
  }
}
