// Where and how velmora writes its output file, on both platforms.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/inputs.h"

namespace {

std::size_t entry_count(const std::string& dir) {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    (void)entry;
    ++n;
  }
  return n;
}

// The words for inputs boot.bin, app1.bin and app2.bin in the working directory.
std::vector<std::string> relative_words(const std::string& out) {
  return {"boot.bin", "app1.bin", "0x10000000", "1", "app2.bin", "0x11000000", "1", out};
}

void write_small_inputs(const ScratchDir& dir) {
  write_bytes(dir.file("boot.bin"), {1});
  write_bytes(dir.file("app1.bin"), {2});
  write_bytes(dir.file("app2.bin"), {3});
}

// The temporary file is renamed over an existing output, which a plain rename refuses on
// Windows; the old file must go completely, however much longer it was.
TEST(VelmoraOutput, ReplacesAnExistingOutputWhole) {
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  write_bytes(out, random_bytes(0x9000, 11));
  Inputs in;
  in.boot = random_bytes(0x10, 12);
  in.app1 = random_bytes(0x800, 13);
  const Composed first = compose(dir, in);
  ASSERT_EQ(first.run.exit_status, 0) << first.run.out;
  ASSERT_EQ(first.image.size(), 0x4000u);
  EXPECT_TRUE(std::equal(in.app1.begin(), in.app1.end(), first.image.begin() + 0x3000));
  EXPECT_EQ(first.image[0x3800], 0xFF);

  in.app1 = random_bytes(0x10, 14);  // the same length of image, other bytes
  const Composed second = compose(dir, in);
  ASSERT_EQ(second.run.exit_status, 0) << second.run.out;
  ASSERT_EQ(second.image.size(), 0x4000u);
  EXPECT_TRUE(std::equal(in.app1.begin(), in.app1.end(), second.image.begin() + 0x3000));
  EXPECT_EQ(entry_count(dir.path), 4u);  // three inputs and the output, no temporary
}

// Output paths as a user types them in the directory of the inputs. The temporary file goes
// beside the output, whatever the form of its directory part.
TEST(VelmoraOutput, RelativeOutputPaths) {
  ScratchDir dir;
  write_small_inputs(dir);
  std::filesystem::create_directory(dir.file("sub"));
  struct Case {
    std::string word;  // as given to velmora
    std::string file;  // where the image should be, relative to the scratch directory
  };
  std::vector<Case> cases = {{"download.bin", "download.bin"},
                             {"sub/nested.bin", "sub/nested.bin"}};
  if (windows_target()) {
    cases.push_back({"sub\\backslash.bin", "sub/backslash.bin"});
    // The tests run velmora.exe under Wine, where the Linux file system is drive Z:, so "Z:"
    // alone names the current directory.
    cases.push_back({"Z:drive-relative.bin", "drive-relative.bin"});
  } else {
    cases.push_back({"back\\slash", "back\\slash"});  // a backslash is part of a Linux name
  }
  std::size_t in_sub = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    const ChildResult r = run_velmora_in(dir.path, relative_words(c.word));
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(read_bytes(dir.file(c.file)).size(), 0x5000u);
    if (c.file.starts_with("sub/")) {
      ++in_sub;
    }
  }
  // The inputs, sub and the outputs: no temporary file is left anywhere.
  EXPECT_EQ(entry_count(dir.path), 4 + cases.size() - in_sub);
  EXPECT_EQ(entry_count(dir.file("sub")), in_sub);
}

TEST(VelmoraOutput, PathEndingInASeparatorIsRefused) {
  ScratchDir dir;
  write_small_inputs(dir);
  std::vector<std::string> endings = {"new/"};
  if (windows_target()) {
    endings.push_back("new\\");
  }
  for (const std::string& word : endings) {
    SCOPED_TRACE(word);
    const ChildResult r = run_velmora_in(dir.path, relative_words(word));
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_TRUE(r.out.ends_with(console_text("\nCan not open the path: " + word + " \n")));
  }
  EXPECT_EQ(entry_count(dir.path), 3u);
}

// The null device has no directory entry to rename over: it is written in place.
TEST(VelmoraOutput, NullDeviceIsWrittenInPlace) {
  ScratchDir dir;
  Inputs in;
  in.app1 = random_bytes(0x100, 15);
  write_bytes(dir.file("boot.bin"), in.boot);
  write_bytes(dir.file("app1.bin"), in.app1);
  write_bytes(dir.file("app2.bin"), in.app2);
  std::vector<std::string> words = velmora_words(dir, in);
  words[7] = windows_target() ? "NUL" : "/dev/null";
  const ChildResult r = run_velmora_in(dir.path, words);
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(r.out.ends_with(console_text("updata file success !\n")));
  EXPECT_EQ(entry_count(dir.path), 3u);  // no temporary left, no file named NUL
  struct stat st {};
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
