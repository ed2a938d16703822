// velmora-inspect --extract as a user meets it: the image it reads is never written over, a
// target that would make it wait is refused, and the four parts go in place together or not
// at all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "support/files.h"
#include "support/model.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

struct Scene {
  ScratchDir dir;
  Bytes image;
  std::string parts;  // the directory the parts go into
};

void set_scene(Scene& s) {
  // APP1 longer than one stretch of the reader, so that a part cut short would show.
  s.image = model_image(random_bytes(0x180, 51), {random_bytes(0x18001, 52), 0x10000000, 1},
                        {random_bytes(0x805, 53), 0x11000000, 2});
  write_bytes(s.dir.file("image.bin"), s.image);
  s.parts = s.dir.file("parts");
  fs::create_directory(s.parts);
}

ChildResult extract(const Scene& s, const std::string& image, const ChildLimits& limits = {}) {
  return run_command({VELMORA_INSPECT_EXE, "--force", "--extract", s.parts, image}, limits);
}

std::string refusal(const std::string& target, const std::string& why) {
  return "velmora-inspect: " + target + ": cannot write: " + why + "\n";
}

TEST(Extract, NeverWritesOverTheImageItReads) {
  Scene s;
  set_scene(s);
  // The image under a part's name, as another name of it, and behind a link.
  const std::string boot = s.parts + "/boot.bin";
  write_bytes(boot, s.image);
  ChildResult r = extract(s, boot);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, refusal(boot, "it is the image being read"));
  EXPECT_TRUE(read_bytes(boot) == s.image);
  fs::remove(boot);

  const std::string app1 = s.parts + "/app1.bin";
  ASSERT_EQ(link(s.dir.file("image.bin").c_str(), app1.c_str()), 0);
  r = extract(s, s.dir.file("image.bin"));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, refusal(app1, "it is the image being read"));
  fs::remove(app1);

  const std::string app2 = s.parts + "/app2.bin";
  fs::create_symlink(s.dir.file("image.bin"), app2);
  r = extract(s, s.dir.file("image.bin"));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, refusal(app2, "it is the image being read"));
  EXPECT_TRUE(read_bytes(s.dir.file("image.bin")) == s.image);
  EXPECT_EQ(entry_count(s.parts), 1u);
}

TEST(Extract, TargetThatWouldWaitIsRefusedAtOnce) {
  Scene s;
  set_scene(s);
  const std::string fifo = s.parts + "/header.bin";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  const ChildResult r = extract(s, s.dir.file("image.bin"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, refusal(fifo, "a FIFO or device that no one reads (writing would wait)"));
  EXPECT_EQ(entry_count(s.parts), 1u);  // no part was written
}

// A rename refused, and a copy that fails after another part was copied in: every target keeps
// its old bytes, and nothing else is left.
TEST(Extract, AllFourPartsOrNone) {
  if (built_with_sanitizers) {
    GTEST_SKIP() << "preloads a library into a build without sanitizers";
  }
  Scene s;
  set_scene(s);
  const char* names[] = {"boot.bin", "header.bin", "app1.bin", "app2.bin"};
  for (const char* name : names) {
    write_bytes(s.parts + "/" + name, Bytes(7, static_cast<std::uint8_t>(name[0])));
  }
  // boot.bin and app2.bin have second names, so they are copied into, after the two renames.
  for (const char* name : {"boot.bin", "app2.bin"}) {
    ASSERT_EQ(link((s.parts + "/" + name).c_str(), s.dir.file(name).c_str()), 0);
  }
  const auto expect_old_parts = [&] {
    for (const char* name : names) {
      EXPECT_EQ(read_bytes(s.parts + "/" + name), Bytes(7, static_cast<std::uint8_t>(name[0])))
          << name;
    }
    EXPECT_EQ(entry_count(s.parts), 4u);
  };
  const struct {
    const char* fault;
    const char* target;  // the one named
    const char* why;
  } faults[] = {
      {"VELMORA_SHIM_FAIL_RENAME=1", "header.bin", "Input/output error"},
      {"VELMORA_SHIM_FAIL_RENAME=2", "app1.bin", "Input/output error"},
      // The second copy fails after boot.bin was copied into: boot.bin gets its bytes back.
      {"VELMORA_SHIM_FAIL_TRUNCATE=2", "app2.bin", "Input/output error"},
  };
  for (const auto& f : faults) {
    SCOPED_TRACE(f.fault);
    const ChildResult r =
        extract(s, s.dir.file("image.bin"),
                {.environment = {std::string("LD_PRELOAD=") + VELMORA_FAULT_SHIM, f.fault}});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, refusal(s.parts + "/" + f.target, f.why));
    expect_old_parts();
  }

  ASSERT_EQ(extract(s, s.dir.file("image.bin")).exit_status, 0);
  EXPECT_EQ(read_bytes(s.dir.file("app2.bin")), read_bytes(s.parts + "/app2.bin"));
  EXPECT_EQ(read_bytes(s.parts + "/app2.bin").size(), 0x805u);
  EXPECT_EQ(read_bytes(s.dir.file("boot.bin")), Bytes(s.image.begin(), s.image.begin() + 0x2000));
}

}  // namespace
