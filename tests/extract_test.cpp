// velmora-inspect --extract as a user meets it: the image it reads is never written over, a
// target that a rename cannot replace as it is refuses the whole extraction, and the four
// parts go in place together or not at all, whatever fails and whatever signal comes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "support/files.h"
#include "support/model.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

const char* const part_names[] = {"boot.bin", "header.bin", "app1.bin", "app2.bin"};

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
  ASSERT_EQ(chmod(s.dir.path.c_str(), 0755), 0);
  ASSERT_EQ(chmod(s.dir.file("image.bin").c_str(), 0644), 0);
}

// Every part holds seven bytes of its name's first letter: the old parts.
void write_old_parts(const Scene& s) {
  for (const char* name : part_names) {
    write_bytes(s.parts + "/" + name, Bytes(7, static_cast<std::uint8_t>(name[0])));
  }
}

void expect_old_parts(const Scene& s) {
  for (const char* name : part_names) {
    EXPECT_EQ(read_bytes(s.parts + "/" + name), Bytes(7, static_cast<std::uint8_t>(name[0])))
        << name;
  }
  EXPECT_EQ(entry_count(s.parts), 4u);
}

// The new parts, from the image's own bytes at the places the scene put them.
void expect_new_parts(const Scene& s) {
  const auto at = [&](std::size_t from, std::size_t count) {
    return Bytes(s.image.begin() + static_cast<std::ptrdiff_t>(from),
                 s.image.begin() + static_cast<std::ptrdiff_t>(from + count));
  };
  EXPECT_EQ(read_bytes(s.parts + "/boot.bin"), at(0, 0x2000));
  EXPECT_EQ(read_bytes(s.parts + "/header.bin"), at(0x2000, 0x100));
  EXPECT_EQ(read_bytes(s.parts + "/app1.bin"), random_bytes(0x18001, 52));
  EXPECT_EQ(read_bytes(s.parts + "/app2.bin"), random_bytes(0x805, 53));
  EXPECT_EQ(entry_count(s.parts), 4u);
}

ChildResult extract(const Scene& s, const std::string& image, const ChildLimits& limits = {},
                    const std::string& into = "", bool force = true) {
  std::vector<std::string> words = inspect_command();
  if (force) {
    words.push_back("--force");
  }
  for (const std::string& word : {std::string("--extract"), into.empty() ? s.parts : into, image}) {
    words.push_back(word);
  }
  return run_command(words, limits);
}

// A part's path as velmora-inspect names it: the directory as given, then the system's
// separator and the part's name.
std::string part_path(const std::string& dir, const char* name) {
  return dir + (windows_target() ? "\\" : "/") + name;
}

std::string refusal(const std::string& target, const std::string& why) {
  return console_text("velmora-inspect: " + target + ": cannot write: " + why + "\n");
}

bool linux_only(const char* why) {
  if (windows_target()) {
    std::printf("skipped under Windows: %s\n", why);
    return true;
  }
  return false;
}

// What runs on both systems: old parts are replaced whole only with --force, and the image
// itself or a directory as a target refuses the extraction.
TEST(Extract, ReplacesOldPartsOnlyWithForceAndNeverTheImage) {
  Scene s;
  set_scene(s);
  write_old_parts(s);
  ChildResult r = extract(s, s.dir.file("image.bin"), {}, "", false);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, console_text("velmora-inspect: " + part_path(s.parts, "boot.bin") +
                                ": exists already (use --force to replace it)\n"));
  expect_old_parts(s);
  r = extract(s, s.dir.file("image.bin"));
  EXPECT_EQ(r.exit_status, 0) << r.out;
  expect_new_parts(s);

  const std::string app2 = s.parts + "/app2.bin";
  write_bytes(app2, s.image);
  r = extract(s, app2);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, refusal(part_path(s.parts, "app2.bin"), "it is the image being read"));
  EXPECT_TRUE(read_bytes(app2) == s.image);

  fs::remove(s.parts + "/header.bin");
  fs::create_directory(s.parts + "/header.bin");
  r = extract(s, s.dir.file("image.bin"));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, refusal(part_path(s.parts, "header.bin"), "Is a directory"));
  EXPECT_TRUE(read_bytes(app2) == s.image);
  EXPECT_EQ(entry_count(s.parts), 4u);
}

// Each target a rename would not replace as it is: the whole extraction is refused at once,
// the target and everything it leads to stay as they were, and no part is written.
TEST(Extract, RefusesWhatARenameCannotReplace) {
  if (linux_only("symbolic links, FIFOs and owners")) {
    GTEST_SKIP();
  }
  Scene s;
  set_scene(s);
  const std::string elsewhere = s.dir.file("elsewhere.bin");
  const std::string other_name =
      "a file with other names (hard links), which would keep the old bytes";
  const struct {
    const char* target;
    const char* why;
    void (*make)(const std::string& target, const std::string& elsewhere);
  } cases[] = {
      {"boot.bin", "a symbolic link",
       [](const std::string& t, const std::string& e) {
         write_bytes(e, {9});
         fs::create_symlink(e, t);
       }},
      {"header.bin", "a symbolic link",  // to no file: none is made where it leads
       [](const std::string& t, const std::string& e) { fs::create_symlink(e, t); }},
      {"app1.bin", "a file with other names (hard links), which would keep the old bytes",
       [](const std::string& t, const std::string& e) {
         write_bytes(e, {9});
         fs::create_hard_link(e, t);
       }},
      {"app2.bin", "a FIFO, device or socket, not a regular file",
       [](const std::string& t, const std::string&) { ASSERT_EQ(mkfifo(t.c_str(), 0600), 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string target = s.parts + "/" + c.target;
    c.make(target, elsewhere);
    const auto start = std::chrono::steady_clock::now();
    const ChildResult r = extract(s, s.dir.file("image.bin"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, refusal(target, c.why));
    EXPECT_EQ(entry_count(s.parts), 1u);
    if (fs::exists(elsewhere)) {
      EXPECT_EQ(read_bytes(elsewhere), Bytes{9});
    }
    fs::remove(target);
    fs::remove(elsewhere);
  }

  // Two part names for one file: neither may be replaced alone.
  write_old_parts(s);
  fs::remove(s.parts + "/app1.bin");
  fs::create_hard_link(s.parts + "/boot.bin", s.parts + "/app1.bin");
  ChildResult r = extract(s, s.dir.file("image.bin"));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, refusal(s.parts + "/boot.bin", other_name));
  EXPECT_EQ(read_bytes(s.parts + "/app1.bin"), Bytes(7, 'b'));

  // Another user's file, writable by all: a new file could not keep its owner.
  if (geteuid() == 0) {
    fs::remove(s.parts + "/app1.bin");
    write_old_parts(s);
    ASSERT_EQ(chmod(s.parts.c_str(), 0777), 0);
    for (const char* name : part_names) {
      ASSERT_EQ(chown((s.parts + "/" + name).c_str(), unprivileged_user, unprivileged_user), 0);
    }
    ASSERT_EQ(chown((s.parts + "/app2.bin").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod((s.parts + "/app2.bin").c_str(), 0666), 0);
    ChildLimits as_user = {.user = unprivileged_user};
    r = extract(s, s.dir.file("image.bin"), as_user);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, refusal(s.parts + "/app2.bin",
                             "its owner, group, mode or extended attributes cannot be given to a "
                             "new file (another user's file?)"));
    expect_old_parts(s);
  }
}

// A file mounted over a part cannot be renamed over: refused before anything is written.
TEST(Extract, RefusesAMountPoint) {
  if (windows_target() || geteuid() != 0) {
    GTEST_SKIP() << "needs root to mount a file";
  }
  Scene s;
  set_scene(s);
  write_old_parts(s);
  write_bytes(s.dir.file("host.bin"), {9});
  const std::string target = s.parts + "/app1.bin";
  if (mount(s.dir.file("host.bin").c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "bind mount not permitted here";
  }
  const ChildResult r = extract(s, s.dir.file("image.bin"));
  umount2(target.c_str(), MNT_DETACH);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, refusal(target, "a mount point"));
  EXPECT_EQ(read_bytes(s.dir.file("host.bin")), Bytes{9});
  expect_old_parts(s);
}

// A rename that fails, first or last, and a signal at any moment of putting the parts in
// place: all four old, or all four new, and nothing else left.
TEST(Extract, AllFourPartsOrNone) {
  if (built_with_sanitizers || linux_only("preloads a library")) {
    GTEST_SKIP() << "preloads a library into a plain native Linux build";
  }
  Scene s;
  set_scene(s);
  const std::string image = s.dir.file("image.bin");
  for (const char* fault :
       {"VELMORA_SHIM_FAIL_RENAME=1", "VELMORA_SHIM_FAIL_RENAME=4", "VELMORA_SHIM_FAIL_PWRITE=3"}) {
    SCOPED_TRACE(fault);
    write_old_parts(s);
    const ChildResult r = extract(s, image, with_shim({fault}));
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.out.find("cannot write: Input/output error"), std::string::npos) << r.out;
    expect_old_parts(s);
  }
  for (const char* nth : {"1", "2", "4"}) {
    SCOPED_TRACE(nth);
    write_old_parts(s);
    ChildResult r = extract(s, image, with_shim({std::string("VELMORA_SHIM_TERM_RENAME=") + nth}));
    EXPECT_EQ(r.signal, SIGTERM);
    expect_new_parts(s);
    // A signal, then a failure while the parts are put in place: all four old, then the signal.
    write_old_parts(s);
    r = extract(
        s, image,
        with_shim({std::string("VELMORA_SHIM_TERM_RENAME=") + nth, "VELMORA_SHIM_FAIL_RENAME=3"}));
    EXPECT_EQ(r.signal, SIGTERM);
    expect_old_parts(s);
  }
}

// A read that fails, or an image that grows, at any read of the scan or of the extraction
// itself: a run that met it ends with status 2 and every old part as it was; a run that did
// not (no read that late) has the image unchanged and all four new.
TEST(Extract, ReadThatFailsOrImageThatGrowsAtAnyReadLeavesTheOldParts) {
  if (built_with_sanitizers || linux_only("preloads a library")) {
    GTEST_SKIP() << "preloads a library into a plain native Linux build";
  }
  Scene s;
  set_scene(s);
  const std::string image = s.dir.file("image.bin");
  for (const bool grow : {false, true}) {
    int met = 0;
    for (int nth = 1; nth <= 40; ++nth) {
      SCOPED_TRACE(std::string(grow ? "grown at read " : "failed read ") + std::to_string(nth));
      write_bytes(image, s.image);
      write_old_parts(s);
      const std::string n = std::to_string(nth);
      const ChildResult r =
          extract(s, image,
                  with_shim(grow ? std::vector<std::string>{"VELMORA_SHIM_GROW=/image.bin",
                                                            "VELMORA_SHIM_GROW_READ=" + n}
                                 : std::vector<std::string>{"VELMORA_SHIM_FAIL_PREAD=" + n}));
      if (r.exit_status == 0) {
        EXPECT_EQ(fs::file_size(image), s.image.size());
        expect_new_parts(s);
        continue;
      }
      ++met;
      EXPECT_EQ(r.exit_status, 2);
      EXPECT_NE(r.out.find(grow ? "it changed while read" : "cannot read: Input/output error"),
                std::string::npos)
          << r.out;
      expect_old_parts(s);
    }
    EXPECT_GT(met, 10);
  }
}

// The directories a run made go again when it fails or is interrupted; those that were there
// stay.
TEST(Extract, FailedRunLeavesNoDirectoryItMade) {
  if (built_with_sanitizers || linux_only("preloads a library")) {
    GTEST_SKIP() << "preloads a library into a plain native Linux build";
  }
  Scene s;
  set_scene(s);
  const std::string deep = s.parts + "/m/a/b";
  ChildResult r =
      extract(s, s.dir.file("image.bin"), with_shim({"VELMORA_SHIM_FAIL_RENAME=2"}), deep);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, refusal(deep + "/header.bin", "Input/output error"));
  EXPECT_EQ(entry_count(s.parts), 0u);
  for (const char* nth : {"1", "5"}) {
    SCOPED_TRACE(nth);
    r = extract(
        s, s.dir.file("image.bin"),
        with_shim({std::string("VELMORA_SHIM_TERM_PWRITE=") + nth, "VELMORA_SHIM_NO_TMPFILE=1"}),
        deep);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(entry_count(s.parts), 0u);
  }
  // More new directories than a run can note: refused, and none of them is left.
  std::string deeper = s.parts;
  for (int level = 0; level < 40; ++level) {
    deeper += "/d";
  }
  r = extract(s, s.dir.file("image.bin"), {}, deeper);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, "velmora-inspect: " + deeper +
                       ": cannot create the directory: the path is too long or too deep\n");
  EXPECT_EQ(entry_count(s.parts), 0u);
  ASSERT_EQ(extract(s, s.dir.file("image.bin"), {}, deep).exit_status, 0);
  EXPECT_EQ(entry_count(deep), 4u);
}

}  // namespace
