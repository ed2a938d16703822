// Where and how velmora writes its output file, on both platforms.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "support/inputs.h"

namespace {

namespace fs = std::filesystem;

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

// An output path a few characters short of the 260 that Windows allows, in a deep directory:
// the temporary file beside it must fit as well.
TEST(VelmoraOutput, PathNearTheWindowsLimit) {
  ScratchDir dir;
  write_small_inputs(dir);
  const std::string deep = dir.file(std::string(236 - dir.path.size() - 1, 'd'));
  std::filesystem::create_directory(deep);
  const std::string out = deep + "/out.bin";
  ASSERT_EQ(out.size(), 244u);
  for (int run = 0; run < 2; ++run) {  // a new output, then one that exists
    SCOPED_TRACE(run);
    const ChildResult r = run_velmora_in(dir.path, relative_words(out));
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(read_bytes(out).size(), 0x5000u);
    EXPECT_EQ(entry_count(deep), 1u);
  }
}

// The null device has no directory entry to rename over: the image is copied into it.
TEST(VelmoraOutput, NullDeviceIsCopiedInto) {
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

// The output rules on Linux: the output stays the file the user had, and after any failure
// or signal it is either the old file or the whole new image, with nothing else left.
bool linux_target() {
  return !windows_target();
}

struct Scene {
  ScratchDir dir;
  Inputs in;
  std::vector<std::string> words;
  Bytes expected;
};

// Small inputs in a directory every user may read; the words write `out`.
void set_scene(Scene& s, const std::string& out) {
  ASSERT_EQ(chmod(s.dir.path.c_str(), 0755), 0);
  s.in.boot = random_bytes(0x300, 21);
  s.in.app1 = random_bytes(0x1234, 22);
  s.in.app2 = random_bytes(0x2001, 23);
  s.in.status2 = "2";
  write_bytes(s.dir.file("boot.bin"), s.in.boot);
  write_bytes(s.dir.file("app1.bin"), s.in.app1);
  write_bytes(s.dir.file("app2.bin"), s.in.app2);
  s.words = velmora_words(s.dir, s.in);
  s.words[7] = out;
  s.expected = reference_image(s.in);
}

TEST(VelmoraOutputRules, HardLinksOwnerAndGroupStay) {
  if (!linux_target()) {
    GTEST_SKIP() << "hard links and owners are checked on Linux";
  }
  Scene s;
  const std::string out = s.dir.file("download.bin");
  set_scene(s, out);
  write_bytes(out, Bytes(0x10, 1));
  ASSERT_EQ(link(out.c_str(), s.dir.file("other-name.bin").c_str()), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(out.c_str(), 4321, 8765), 0);
  }
  const ChildResult r = run_velmora(s.words);
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(read_bytes(s.dir.file("other-name.bin")) == s.expected);
  EXPECT_TRUE(read_bytes(out) == s.expected);
  ASSERT_EQ(unlink(s.dir.file("other-name.bin").c_str()), 0);

  // With one name left the file is replaced, and keeps its owner, group and mode, the
  // set-group-ID bit included.
  ASSERT_EQ(chmod(out.c_str(), 02604), 0);
  s.words[2] = "0x10001000";
  ASSERT_EQ(run_velmora(s.words).exit_status, 0);
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02604u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
  }
  EXPECT_EQ(entry_count(s.dir.path), 4u);

  // An input with a second name as the output, longer than one stretch of the image: it is
  // still read whole as it was, though it is written over.
  s.in.app1 = random_bytes(0x180001, 24);
  write_bytes(s.dir.file("app1.bin"), s.in.app1);
  ASSERT_EQ(link(s.dir.file("app1.bin").c_str(), s.dir.file("app1-copy.bin").c_str()), 0);
  s.words[2] = "0x10000000";
  s.words[7] = s.dir.file("app1.bin");
  ASSERT_EQ(run_velmora(s.words).exit_status, 0);
  EXPECT_TRUE(read_bytes(s.dir.file("app1-copy.bin")) == reference_image(s.in));
  EXPECT_EQ(entry_count(s.dir.path), 5u);
}

// A file mounted over another (as a container is given a file of its host) cannot be renamed
// over; another user's file in a sticky directory neither. The image is copied into both.
TEST(VelmoraOutputRules, FilesThatCannotBeRenamedOverAreCopiedInto) {
  if (!linux_target() || geteuid() != 0) {
    GTEST_SKIP() << "needs root on Linux to mount a file and to act as another user";
  }
  Scene s;
  const std::string out = s.dir.file("download.bin");
  set_scene(s, out);
  write_bytes(s.dir.file("host.bin"), Bytes(0x10, 2));
  write_bytes(out, {});
  if (mount(s.dir.file("host.bin").c_str(), out.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    std::printf("bind mount not permitted here: that half is skipped\n");
  } else {
    const ChildResult r = run_velmora(s.words);
    umount2(out.c_str(), MNT_DETACH);
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_TRUE(read_bytes(s.dir.file("host.bin")) == s.expected);
    EXPECT_EQ(entry_count(s.dir.path), 5u);
  }

  const std::string sticky = s.dir.file("sticky");
  fs::create_directory(sticky);
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  const std::string shared = sticky + "/download.bin";
  write_bytes(shared, Bytes(s.expected.size() + 0x10, 3));  // longer than the image
  ASSERT_EQ(chmod(shared.c_str(), 0666), 0);
  s.words[7] = shared;
  const ChildResult r = run_velmora(s.words, {.user = unprivileged_user});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(read_bytes(shared) == s.expected);
  struct stat st {};
  ASSERT_EQ(stat(shared.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(entry_count(sticky), 1u);

  // A directory where this user can make no file, holding a file the user may write.
  const std::string closed = s.dir.file("closed");
  fs::create_directory(closed);
  ASSERT_EQ(chmod(closed.c_str(), 0755), 0);
  s.words[7] = closed + "/download.bin";
  write_bytes(s.words[7], Bytes(0x10, 4));
  ASSERT_EQ(chmod(s.words[7].c_str(), 0666), 0);
  EXPECT_EQ(run_velmora(s.words, {.user = unprivileged_user}).exit_status, 0);
  EXPECT_TRUE(read_bytes(s.words[7]) == s.expected);
  EXPECT_EQ(entry_count(closed), 1u);
}

TEST(VelmoraOutputRules, DescriptorIntoAPipeGetsExactlyTheImage) {
  if (!linux_target()) {
    GTEST_SKIP() << "/dev/fd is a Linux facility";
  }
  Scene s;
  set_scene(s, "/dev/fd/3");
  std::string command = "exec";
  std::vector<std::string> words = velmora_command();
  words.insert(words.end(), s.words.begin(), s.words.end());
  for (const std::string& word : words) {
    command += " '" + word + "'";
  }
  command += " 3>&1 >/dev/null </dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  Bytes received;
  for (int c = std::fgetc(pipe); c != EOF; c = std::fgetc(pipe)) {
    received.push_back(static_cast<std::uint8_t>(c));
  }
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_TRUE(received == s.expected);
  EXPECT_EQ(entry_count(s.dir.path), 3u);
}

// Runs `command` with /bin/sh; its exit status, or -1 when it did not exit.
int shell_status(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// velmora's command line for the shell, every word quoted.
std::string shell_words(const std::vector<std::string>& words) {
  std::string command;
  std::vector<std::string> all = velmora_command();
  all.insert(all.end(), words.begin(), words.end());
  for (const std::string& word : all) {
    command += " '" + word + "'";
  }
  return command;
}

// Standard output carries the console text: an output that is the file or pipe it writes to is
// refused before a byte of the image is written, however it is named. The null device as both
// is fine.
TEST(VelmoraOutputRules, ConsoleTextNeverLandsInTheImage) {
  if (!linux_target()) {
    GTEST_SKIP() << "/dev/stdout is a Linux facility";
  }
  Scene s;
  const std::string out = s.dir.file("download.bin");
  set_scene(s, "/dev/stdout");
  const std::string refused = "\nCan not open the path: /dev/stdout \n";
  const std::string velmora = shell_words(s.words) + " </dev/null";
  EXPECT_EQ(shell_status(velmora + " >'" + out + "'"), 255);
  const Bytes written = read_bytes(out);
  EXPECT_TRUE(std::string(written.begin(), written.end()).ends_with(refused));
  EXPECT_LT(written.size(), 0x1000u);  // the dialogue alone

  write_bytes(out, {'o', 'l', 'd'});
  EXPECT_EQ(shell_status(velmora + " >>'" + out + "'"), 255);
  const Bytes appended = read_bytes(out);
  EXPECT_TRUE(std::string(appended.begin(), appended.end()).starts_with("old"));
  EXPECT_TRUE(std::string(appended.begin(), appended.end()).ends_with(refused));

  s.words[7] = out;  // the file by its own name, while standard output is that file
  EXPECT_EQ(shell_status(shell_words(s.words) + " </dev/null >'" + out + "'"), 255);
  s.words[7] = "/dev/stdout";
  const std::string status = s.dir.file("status");
  ASSERT_EQ(shell_status("(" + velmora + "; echo $? >'" + status + "') | cat >'" + out + "'"), 0);
  EXPECT_EQ(read_bytes(status), (Bytes{'2', '5', '5', '\n'}));
  const Bytes piped = read_bytes(out);
  EXPECT_TRUE(std::string(piped.begin(), piped.end()).ends_with(refused));

  s.words[7] = "/dev/null";
  EXPECT_EQ(shell_status(shell_words(s.words) + " </dev/null >/dev/null"), 0);
  EXPECT_EQ(entry_count(s.dir.path), 5u);  // the inputs, the file and the status
}

// The access control list and extended attributes of a replaced output stay, and with them who
// may write it; a new output gets the mode the directory's default list gives a new file.
TEST(VelmoraOutputRules, AccessControlListsAndAttributesStay) {
  if (!linux_target() || geteuid() != 0) {
    GTEST_SKIP() << "needs root on Linux to give the file a group and a user entry";
  }
  Scene s;
  const std::string out = s.dir.file("download.bin");
  set_scene(s, out);
  write_bytes(out, Bytes(0x10, 5));
  ASSERT_EQ(chown(out.c_str(), 0, 4242), 0);
  ASSERT_EQ(chmod(out.c_str(), 0664), 0);
  if (shell_status("setfacl -m u:65534:rw-,g::r--,m::rw- '" + out + "' 2>/dev/null") != 0 ||
      shell_status("setfattr -n user.note -v kept '" + out + "' 2>/dev/null") != 0) {
    GTEST_SKIP() << "no access control lists or user attributes here (setfacl and setfattr of "
                    "the acl and attr packages, and a file system that keeps them)";
  }
  const std::string listing = s.dir.file("listing.txt");
  const std::string show = "getfacl -cn '" + out + "' 2>/dev/null; getfattr -d '" + out +
                           "' 2>/dev/null | tail -n +2; stat -c '%a %u %g' '" + out + "'";
  ASSERT_EQ(shell_status("(" + show + ") >'" + listing + "'"), 0);
  const Bytes before = read_bytes(listing);
  ASSERT_EQ(run_velmora(s.words).exit_status, 0);
  EXPECT_TRUE(read_bytes(out) == s.expected);
  ASSERT_EQ(shell_status("(" + show + ") >'" + listing + "'"), 0);
  const Bytes after = read_bytes(listing);
  EXPECT_EQ(std::string(after.begin(), after.end()),
            "user::rw-\nuser:65534:rw-\ngroup::r--\nmask::rw-\nother::r--\n\n"
            "user.note=\"kept\"\n\n664 0 4242\n");
  EXPECT_TRUE(after == before);

  const std::string inherit = s.dir.file("inherit");
  fs::create_directory(inherit);
  ASSERT_EQ(shell_status("setfacl -d -m u::rw-,g::r-x,o::--- '" + inherit + "'"), 0);
  s.words[7] = inherit + "/download.bin";
  ASSERT_EQ(run_velmora(s.words).exit_status, 0);
  struct stat st {};
  ASSERT_EQ(stat(s.words[7].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // as `touch` makes it there
}

// The temporary file's name does not lengthen the path: an output path as long as the system
// allows works, as with cp.
TEST(VelmoraOutputRules, OutputPathAsLongAsTheSystemAllows) {
  if (!linux_target()) {
    GTEST_SKIP() << "PATH_MAX is Linux's";
  }
  Scene s;
  set_scene(s, "");
  std::string deep = s.dir.path;
  while (deep.size() < 3800) {
    deep += "/" + std::string(200, 'd');
  }
  fs::create_directories(deep);
  const std::string out = deep + "/" + std::string(4095 - deep.size() - 1, 'o');
  ASSERT_EQ(out.size(), 4095u);
  s.words[7] = out;
  for (int run = 0; run < 2; ++run) {  // a new output, then one that exists
    SCOPED_TRACE(run);
    const ChildResult r = run_velmora(s.words);
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_TRUE(read_bytes(out) == s.expected);
    EXPECT_EQ(entry_count(deep), 1u);
  }
}

// Signals during a long composition: the old output whole, or the new image whole, and no
// other file. Two sparse applications of 384 MiB take long enough to be caught part way. Where
// the system gives no unnamed temporary file (or /proc is hidden) the temporary file has a name
// from the start, and every signal that ends velmora removes it.
TEST(VelmoraOutputRules, SignalsLeaveTheOldOutputOrTheWholeImage) {
  if (!linux_target() || running_under_runner()) {
    GTEST_SKIP() << "signals are sent to a native Linux velmora";
  }
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  for (const char* name : {"app1.bin", "app2.bin"}) {
    write_bytes(dir.file(name), {});
    ASSERT_EQ(truncate(dir.file(name).c_str(), 384 << 20), 0);
  }
  write_bytes(dir.file("boot.bin"), random_bytes(0x100, 31));
  const Bytes old = random_bytes(0x1000, 32);
  const std::vector<std::string> words = velmora_words(dir, Inputs{});
  const std::uintmax_t length = 0x3000 + 2 * (std::uintmax_t{384} << 20);
  const ChildLimits named = with_shim({"VELMORA_SHIM_NO_TMPFILE=1", "VELMORA_SHIM_NO_PROC=1"});
  // Early and late: while the first application is read, and while the image is written.
  const struct {
    int signal_number;
    int delay_ms;
    bool named;
  } cases[] = {{SIGINT, 100, false},  {SIGTERM, 900, false}, {SIGHUP, 1500, false},
               {SIGKILL, 600, false}, {SIGQUIT, 300, true},  {SIGUSR1, 800, true},
               {SIGALRM, 1200, true}, {SIGTERM, 500, true}};
  for (const auto [signal_number, delay_ms, with_name] : cases) {
    SCOPED_TRACE(signal_number);
    if (with_name && built_with_sanitizers) {
      continue;  // the shim cannot be preloaded
    }
    write_bytes(out, old);
    const ChildResult r =
        run_velmora_and_signal(words, signal_number, delay_ms, with_name ? named : ChildLimits{});
    if (r.exit_status != 0) {
      EXPECT_EQ(r.signal, signal_number) << r.out;
    }
    // The signal may come after the image took the old file's place, or not at all.
    // A whole image has its header, which is written last.
    if (fs::file_size(out) == length) {
      std::FILE* f = std::fopen(out.c_str(), "rb");
      ASSERT_NE(f, nullptr);
      std::uint8_t size_field[4] = {};
      EXPECT_EQ(std::fseek(f, 0x2040, SEEK_SET), 0);
      EXPECT_EQ(std::fread(size_field, 1, 4, f), 4u);
      std::fclose(f);
      EXPECT_EQ(Bytes(size_field, size_field + 4), (Bytes{0, 0, 0, 0x18}));  // 384 MiB
    } else {
      EXPECT_TRUE(read_bytes(out) == old);
    }
    EXPECT_EQ(entry_count(dir.path), 4u);
  }
}

// A signal that comes while the image is put in place, by rename or by copy into a file with
// other names, is held until the image is whole: the run then ends by it, the image in place.
TEST(VelmoraOutputRules, SignalWhileTheImageIsPutInPlaceIsHeldUntilItIsWhole) {
  if (!linux_target() || running_under_runner() || built_with_sanitizers) {
    GTEST_SKIP() << "preloads a library into a plain native build";
  }
  Scene s;
  const std::string out = s.dir.file("download.bin");
  set_scene(s, out);
  ChildResult r = run_velmora(s.words, with_shim({"VELMORA_SHIM_TERM_RENAME=1"}));
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_TRUE(read_bytes(out) == s.expected);
  EXPECT_EQ(entry_count(s.dir.path), 4u);

  write_bytes(out, Bytes(s.expected.size() * 2, 7));
  ASSERT_EQ(link(out.c_str(), s.dir.file("second.bin").c_str()), 0);
  r = run_velmora(s.words, with_shim({"VELMORA_SHIM_TERM_TRUNCATE=1"}));
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_TRUE(read_bytes(s.dir.file("second.bin")) == s.expected);
  EXPECT_EQ(entry_count(s.dir.path), 5u);
}

// Without unnamed temporary files and /proc, the named route keeps every rule too: a new file,
// a replaced one with its mode, and one with another link, which is copied into.
TEST(VelmoraOutputRules, NamedTemporaryFilesWhereNoUnnamedOneCanBeHad) {
  if (!linux_target() || running_under_runner() || built_with_sanitizers) {
    GTEST_SKIP() << "preloads a library into a plain native build";
  }
  Scene s;
  const std::string out = s.dir.file("download.bin");
  set_scene(s, out);
  const ChildLimits named = with_shim({"VELMORA_SHIM_NO_TMPFILE=1", "VELMORA_SHIM_NO_PROC=1"});
  ASSERT_EQ(run_velmora(s.words, named).exit_status, 0);
  EXPECT_TRUE(read_bytes(out) == s.expected);
  ASSERT_EQ(chmod(out.c_str(), 0604), 0);
  write_bytes(out, {1});
  ASSERT_EQ(run_velmora(s.words, named).exit_status, 0);
  EXPECT_TRUE(read_bytes(out) == s.expected);
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  ASSERT_EQ(link(out.c_str(), s.dir.file("second.bin").c_str()), 0);
  write_bytes(out, {2});
  ASSERT_EQ(run_velmora(s.words, named).exit_status, 0);
  EXPECT_TRUE(read_bytes(s.dir.file("second.bin")) == s.expected);
  EXPECT_EQ(entry_count(s.dir.path), 5u);
}

// A rename refused after the target was opened, as over a file that became a mount point
// (EBUSY): the image is copied into the target from the temporary file by its name, which then
// goes, whether the temporary had a name from the start or only just before the rename.
TEST(VelmoraOutputRules, RenameRefusedAfterTheOpenCopiesFromTheNamedTemporary) {
  if (!linux_target() || running_under_runner() || built_with_sanitizers) {
    GTEST_SKIP() << "preloads a library into a plain native build";
  }
  Scene s;
  const std::string out = s.dir.file("download.bin");
  set_scene(s, out);
  for (const bool unnamed : {true, false}) {
    ChildLimits busy = with_shim({"VELMORA_SHIM_BUSY_RENAME=1"});
    if (!unnamed) {
      busy.environment.push_back("VELMORA_SHIM_NO_TMPFILE=1");
    }
    write_bytes(out, Bytes(s.expected.size() + 0x10, 5));  // longer than the image
    struct stat before {};
    ASSERT_EQ(stat(out.c_str(), &before), 0);
    const ChildResult r = run_velmora(s.words, busy);
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_TRUE(read_bytes(out) == s.expected) << unnamed;
    struct stat after {};
    ASSERT_EQ(stat(out.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // copied into, not replaced
    EXPECT_EQ(entry_count(s.dir.path), 4u);
  }
}

}  // namespace
