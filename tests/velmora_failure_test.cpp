// velmora under faults: every failing run must say what went wrong (naming the path or the
// reason), end with a negative status and no success line, and lose nothing: no partial image
// at the output path, an old output keeps its bytes, and no input is harmed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "fileio/read_file.h"
#include "support/inputs.h"

namespace {

constexpr bool sanitized = built_with_sanitizers;

namespace fs = std::filesystem;

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string open_message(const std::string& path) {
  return "\nCan not open the path: " + path + " \n";
}

// Three small valid inputs in `dir`; the words compose them into `out`.
std::vector<std::string> valid_words(const ScratchDir& dir, const std::string& out) {
  write_bytes(dir.file("boot.bin"), random_bytes(0x100, 1));
  write_bytes(dir.file("app1.bin"), random_bytes(0x1500, 2));
  write_bytes(dir.file("app2.bin"), random_bytes(0x1500, 3));
  std::vector<std::string> words = velmora_words(dir, Inputs{});
  words[7] = out;
  return words;
}

void make_sparse(const std::string& path, std::int64_t size) {
  write_bytes(path, {});
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
}

// Every regular file below `dir` with its bytes (sparse giants by size only).
std::map<std::string, Bytes> snapshot(const std::string& dir) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_symlink() || !entry.is_regular_file()) {
      files[entry.path().string()] = {};
    } else if (entry.file_size() > (64u << 20)) {
      files[entry.path().string()] = Bytes(8, static_cast<std::uint8_t>(entry.file_size() >> 24));
    } else {
      files[entry.path().string()] = read_bytes(entry.path().string());
    }
  }
  return files;
}

// Runs velmora and checks the three promises of a failing run.
void expect_fails_safely(const ScratchDir& dir, const std::vector<std::string>& words, int status,
                         const std::string& message, const ChildLimits& limits = {}) {
  const std::map<std::string, Bytes> before = snapshot(dir.path);
  const ChildResult r = run_velmora(words, limits);
  EXPECT_EQ(r.exit_status, status);
  EXPECT_TRUE(ends_with(r.out, console_text(message))) << "output was:\n" << r.out;
  EXPECT_EQ(r.out.find("success"), std::string::npos);
  const std::map<std::string, Bytes> after = snapshot(dir.path);
  EXPECT_EQ(after.size(), before.size()) << "a file was left behind or removed";
  for (const auto& [path, bytes] : before) {
    const auto found = after.find(path);
    ASSERT_NE(found, after.end()) << path << " was removed";
    EXPECT_TRUE(found->second == bytes) << path << " was changed";
  }
}

TEST(VelmoraFault, FirstInputThatCannotBeOpenedIsNamed) {
  ScratchDir dir;
  const std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  for (std::size_t word : {0u, 1u, 4u}) {  // bootloader, APP1, APP2
    SCOPED_TRACE(word);
    std::vector<std::string> broken = words;
    broken[word] = dir.file("missing");
    if (word == 0) {
      broken[4] = dir.file("also-missing");  // only the first in read order is named
    }
    expect_fails_safely(dir, broken, 255, open_message(dir.file("missing")));
  }
}

TEST(VelmoraFault, DirectoriesAndEmptyPaths) {
  ScratchDir dir;
  const std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  std::vector<std::string> broken = words;
  broken[1] = dir.path;
  expect_fails_safely(dir, broken, 255, open_message(dir.path));
  broken = words;
  broken[4] = "";
  expect_fails_safely(dir, broken, 255, open_message(""));
  broken = words;
  broken[7] = dir.path;
  expect_fails_safely(dir, broken, 255, open_message(dir.path));
  broken[7] = dir.file("no-such-dir/download.bin");
  expect_fails_safely(dir, broken, 255, open_message(broken[7]));
}

// Under Wine velmora.exe meets the Linux named pipe too, and must not wait on it either.
TEST(VelmoraFault, PipeWithoutWriterAndDeviceAsInputs) {
  ScratchDir dir;
  const std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::vector<std::string> broken = words;
  broken[1] = dir.file("fifo");
  const auto start = std::chrono::steady_clock::now();
  expect_fails_safely(dir, broken, 255, open_message(dir.file("fifo")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  if (windows_target()) {
    GTEST_SKIP() << "character devices as inputs are checked on Linux";
  }
  broken = words;
  broken[4] = "/dev/zero";  // endless: reading it would never finish
  expect_fails_safely(dir, broken, 255, open_message("/dev/zero"));
}

// Faults made by the preloaded shim: a plain native velmora only.
bool shim_usable() {
  return !running_under_runner() && !sanitized;
}

TEST(VelmoraFault, AllocationFailure) {
  if (!shim_usable()) {
    GTEST_SKIP() << "preloads a library into a plain native build";
  }
  ScratchDir dir;
  const std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  expect_fails_safely(dir, words, 253, "malloc memory fail !\n",
                      with_shim({"VELMORA_SHIM_MALLOC_LIMIT=262144"}));
}

// A close that reports an error may have lost bytes: the old output stays.
TEST(VelmoraFault, FailedCloseKeepsTheOldOutput) {
  if (!shim_usable()) {
    GTEST_SKIP() << "preloads a library into a plain native build";
  }
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  const std::vector<std::string> words = valid_words(dir, out);
  write_bytes(out, random_bytes(100, 9));
  expect_fails_safely(dir, words, 252, "\nCan not write the path: " + out + " \n",
                      with_shim({"VELMORA_SHIM_FAIL_CLOSE=1"}));

  // Files with a second name are copied into and cannot keep their old bytes once the copy has
  // begun, but the failure is reported all the same: the output, and APP2 named as the output.
  for (const std::size_t word : {7u, 4u}) {
    std::vector<std::string> in_place = words;
    in_place[7] = words[word];
    ASSERT_EQ(link(words[word].c_str(), (words[word] + ".link").c_str()), 0);
    const ChildResult r = run_velmora(in_place, with_shim({"VELMORA_SHIM_FAIL_CLOSE=1"}));
    EXPECT_EQ(r.exit_status, 252) << word;
    EXPECT_TRUE(ends_with(r.out, console_text("\nCan not write the path: " + words[word] + " \n")));
  }
}

// An input that grows while it is read would be cut at the length it had when opened, under a
// header that describes the cut bytes: it is refused, whichever input it is, and the old
// output stays.
TEST(VelmoraFault, InputThatGrowsWhileReadIsRefused) {
  if (!shim_usable()) {
    GTEST_SKIP() << "preloads a library into a plain native build";
  }
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  const std::vector<std::string> words = valid_words(dir, out);
  write_bytes(out, random_bytes(100, 9));
  for (const std::size_t word : {0u, 1u, 4u}) {
    SCOPED_TRACE(word);
    const std::string name = fs::path(words[word]).filename().string();
    const Bytes before = read_bytes(words[word]);
    const ChildResult r = run_velmora(words, with_shim({"VELMORA_SHIM_GROW=/" + name}));
    EXPECT_EQ(r.exit_status, 251);
    EXPECT_TRUE(ends_with(r.out, "\nCan not read the path: " + words[word] + " \n")) << r.out;
    EXPECT_EQ(read_bytes(words[word]).size(), before.size() + 1);  // it did grow
    write_bytes(words[word], before);
    EXPECT_EQ(read_bytes(out), random_bytes(100, 9));
    EXPECT_EQ(entry_count(dir.path), 4u);
  }
}

// The image is written as it is composed: an image far larger than the memory velmora may
// use is made all the same.
TEST(VelmoraFault, LargeImageUnderAnAddressSpaceLimit) {
  if (running_under_runner() || sanitized) {
    GTEST_SKIP() << "needs an address-space limit on a plain native build";
  }
  ScratchDir dir;
  std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  make_sparse(dir.file("big.bin"), 400ll << 20);
  words[1] = dir.file("big.bin");
  const ChildResult r = run_velmora(words, {.address_space = 128ll << 20});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  const std::uintmax_t length = 0x3000 + (400ull << 20) + 0x2000;
  EXPECT_EQ(fs::file_size(dir.file("download.bin")), length);
}

// Under Wine the file size limit reaches velmora.exe, whose writes fail as on a full disk.
TEST(VelmoraFault, FileSizeLimitKeepsTheOldOutput) {
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  const std::vector<std::string> words = valid_words(dir, out);
  write_bytes(out, random_bytes(100, 9));
  expect_fails_safely(dir, words, 252, "\nCan not write the path: " + out + " \n",
                      {.file_size = 0x4000});  // the image is 0x7000 bytes
  if (shim_usable()) {
    // On Linux the limit is found when room for the image is asked for, before any read.
    ChildLimits limited = with_shim({"VELMORA_SHIM_FAIL_PREAD=1"});
    limited.file_size = 0x4000;
    expect_fails_safely(dir, words, 252, "\nCan not write the path: " + out + " \n", limited);
  }
}

// An image of many stretches, which is written while the next stretches are made: a write
// or a read that fails part way ends the run as a small one does, and leaves nothing.
TEST(VelmoraFault, LargeImageFailingPartWayKeepsTheOldOutput) {
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  std::vector<std::string> words = valid_words(dir, out);
  write_bytes(words[1], random_bytes(4u << 20, 2));
  write_bytes(words[4], random_bytes(2u << 20, 3));
  write_bytes(out, random_bytes(100, 9));
  // Linux refuses the room for the image at once, before anything is written; Wine's writes
  // stop part way.
  expect_fails_safely(dir, words, 252, "\nCan not write the path: " + out + " \n",
                      {.file_size = 3 << 20});
  if (shim_usable()) {
    // The image is written in calls of 32 KiB: the hundredth is in APP1, on the writing thread.
    expect_fails_safely(dir, words, 252, "\nCan not write the path: " + out + " \n",
                        with_shim({"VELMORA_SHIM_FAIL_PWRITE=100"}));
    // Reads of the bootloader, then of APP1 a stretch at a time: the eighth is in APP1.
    expect_fails_safely(dir, words, 251, "\nCan not read the path: " + words[1] + " \n",
                        with_shim({"VELMORA_SHIM_FAIL_PREAD=8"}));
  }
}

// Where the file system cannot reserve room for the image, it is written all the same.
TEST(VelmoraFault, LargeImageWhereRoomCannotBeReserved) {
  if (!shim_usable()) {
    GTEST_SKIP() << "preloads a library into a plain native build";
  }
  ScratchDir dir;
  Inputs in;
  in.app1 = random_bytes((3u << 20) + 1, 6);
  in.app2 = random_bytes(2u << 20, 7);
  const Composed c = compose(dir, in, with_shim({"VELMORA_SHIM_NO_FALLOCATE=1"}));
  EXPECT_EQ(c.run.exit_status, 0) << c.run.out;
  EXPECT_TRUE(c.image == reference_image(in));
}

// Where the system gives no second thread (a new thread's stack, as large as the stack limit,
// does not fit under the address-space limit), the image is made by the one thread.
TEST(VelmoraFault, LargeImageWithoutASecondThread) {
  if (running_under_runner() || sanitized) {
    GTEST_SKIP() << "needs an address-space limit on a plain native build";
  }
  ScratchDir dir;
  Inputs in;
  in.app1 = random_bytes(3u << 20, 4);
  in.app2 = random_bytes((2u << 20) + 3, 5);
  const Composed c = compose(dir, in, {.address_space = 256ll << 20, .stack = 1ll << 30});
  EXPECT_EQ(c.run.exit_status, 0) << c.run.out;
  EXPECT_TRUE(c.image == reference_image(in));
}

// A small file system of our own, or a reason why the machine cannot give one.
struct SmallMount {
  explicit SmallMount(const std::string& at, const char* options, unsigned long flags = 0) {
    fs::create_directory(at);
    if (mount("tmpfs", at.c_str(), "tmpfs", flags, options) == 0) {
      path = at;
    }
  }
  ~SmallMount() {
    if (!path.empty()) {
      umount2(path.c_str(), MNT_DETACH);
    }
  }
  SmallMount(const SmallMount&) = delete;
  SmallMount& operator=(const SmallMount&) = delete;
  std::string path;  // empty when mounting is not permitted here
};

TEST(VelmoraFault, FullFileSystemKeepsTheOldOutput) {
  if (windows_target()) {
    GTEST_SKIP() << "mounts a Linux file system";
  }
  ScratchDir dir;
  SmallMount full(dir.file("full"), "size=16k");
  if (full.path.empty()) {
    GTEST_SKIP() << "mounting a small tmpfs is not permitted here; the file size limit "
                    "test covers a short write";
  }
  const std::string out = full.path + "/download.bin";
  const std::vector<std::string> words = valid_words(dir, out);
  write_bytes(out, random_bytes(0x1000, 10));
  expect_fails_safely(dir, words, 252, "\nCan not write the path: " + out + " \n");
  if (shim_usable()) {
    // The room for the whole image is asked for before any input is read: a failing read
    // would have ended the run with "Can not read the path".
    expect_fails_safely(dir, words, 252, "\nCan not write the path: " + out + " \n",
                        with_shim({"VELMORA_SHIM_FAIL_PREAD=1"}));
    // Where room cannot be reserved, the writes find the file system full.
    expect_fails_safely(dir, words, 252, "\nCan not write the path: " + out + " \n",
                        with_shim({"VELMORA_SHIM_NO_FALLOCATE=1"}));
  }
}

TEST(VelmoraFault, UnwritableOutputDirectory) {
  if (windows_target()) {
    GTEST_SKIP() << "mounts a Linux file system";
  }
  ScratchDir dir;
  SmallMount read_only(dir.file("ro"), "size=16k", MS_RDONLY);
  if (read_only.path.empty()) {
    GTEST_SKIP() << "mounting a read-only tmpfs is not permitted here";
  }
  const std::string out = read_only.path + "/download.bin";
  expect_fails_safely(dir, valid_words(dir, out), 255, open_message(out));
}

// Wine shows the pseudo-file to velmora.exe as a file of 4096 bytes, too.
TEST(VelmoraFault, ShortReadFromAPseudoFile) {
  // A pseudo-file that reports a length of 4096 and holds fewer bytes.
  std::string pseudo;
  for (const char* candidate : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/power/state",
                                "/sys/kernel/profiling", "/sys/devices/system/cpu/online"}) {
    ReadFile file;
    std::string error;
    const bool opened = open_read_file(candidate, file, error);
    const bool short_file = opened && file.length == 4096 && read_bytes(candidate).size() < 4096;
    close_read_file(file);
    if (short_file) {
      pseudo = candidate;
      break;
    }
  }
  if (pseudo.empty()) {
    GTEST_SKIP() << "no pseudo-file here reports more bytes than it holds";
  }
  // The output has a second name, so the image is copied into it: only once every input has
  // been read whole.
  for (std::size_t word : {0u, 1u, 4u}) {  // bootloader, APP1, APP2
    SCOPED_TRACE(word);
    ScratchDir dir;
    std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
    write_bytes(words[7], random_bytes(100, 5));
    ASSERT_EQ(link(words[7].c_str(), dir.file("other.bin").c_str()), 0);
    words[word] = pseudo;
    expect_fails_safely(dir, words, 251, "\nCan not read the path: " + pseudo + " \n");
  }
}

TEST(VelmoraFault, InputsTooLargeAreRefusedBeforeAllocating) {
  ScratchDir dir;
  const std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  make_sparse(dir.file("2g.bin"), 0x80000000ll);
  make_sparse(dir.file("4g.bin"), 0x100000000ll);
  make_sparse(dir.file("1g5.bin"), 0x60000000ll);
  // A limit far below the inputs' size shows that nothing was allocated for them. Sanitizers,
  // Wine and valgrind reserve far more address space than that just to start, so they go
  // without the limit.
  const bool limit = !sanitized && !running_under_runner();
  const ChildLimits small_memory = {.address_space = limit ? 128ll << 20 : 0};
  for (const char* name : {"2g.bin", "4g.bin"}) {
    SCOPED_TRACE(name);
    std::vector<std::string> big = words;
    big[4] = dir.file(name);
    expect_fails_safely(
        dir, big, 250,
        "\nThe file is 2 GiB or larger, or its length is unknown: " + dir.file(name) + " \n",
        small_memory);
  }
  // Each application fits, the image would not: by far, and by exactly 2 GiB (3 + 0x40000 +
  // 0x3FFFD pages).
  make_sparse(dir.file("1g.bin"), 0x40000000ll);
  make_sparse(dir.file("edge.bin"), 0x3FFFD000ll);
  for (const auto& [app1, app2] :
       {std::pair{"1g5.bin", "1g5.bin"}, std::pair{"1g.bin", "edge.bin"}}) {
    std::vector<std::string> both = words;
    both[1] = dir.file(app1);
    both[4] = dir.file(app2);
    expect_fails_safely(dir, both, 249,
                        "\nThe image would be 2 GiB or larger: APP1 " + both[1] + " and APP2 " +
                            both[4] + " are too long \n",
                        small_memory);
  }
}

TEST(VelmoraFault, BootloaderLongerThanTheImage) {
  ScratchDir dir;
  const std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  write_bytes(dir.file("app1.bin"), {});
  write_bytes(dir.file("app2.bin"), {});
  write_bytes(dir.file("boot.bin"), random_bytes(0x3001, 4));  // the image is 0x3000
  expect_fails_safely(dir, words, 248,
                      "\nThe bootloader is longer than the image: " + dir.file("boot.bin") + " \n");
  write_bytes(dir.file("boot.bin"), random_bytes(0x3000, 4));  // exactly the image fits
  EXPECT_EQ(run_velmora(words).exit_status, 0);
}

// Root may write any file on Linux: the child runs as an unprivileged user there, in a
// directory that user may write, so that only the file's own mode stands in the way.
TEST(VelmoraFault, ReadOnlyOutputIsRefusedAndKept) {
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  const std::vector<std::string> words = valid_words(dir, out);
  write_bytes(out, random_bytes(100, 10));
  ASSERT_EQ(chmod(out.c_str(), 0444), 0);  // Wine shows this as the read-only attribute
  ChildLimits as_user;
  if (!windows_target() && geteuid() == 0) {
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
    as_user.user = unprivileged_user;
  }
  expect_fails_safely(dir, words, 255, open_message(out), as_user);
}

// A symbolic link to no file is refused as its destination would be, before any input is
// read (a read would fail with -5 here): a missing directory, one where no file can be made.
TEST(VelmoraFault, LinkToNoFileWhereNoneCanBeMadeIsRefusedFirst) {
  if (!shim_usable()) {
    GTEST_SKIP() << "preloads a library into a plain native build";
  }
  ScratchDir dir;
  const std::string link = dir.file("download.bin");
  std::vector<std::string> words = valid_words(dir, link);
  ASSERT_EQ(symlink(dir.file("missing/download.bin").c_str(), link.c_str()), 0);
  expect_fails_safely(dir, words, 255, open_message(link),
                      with_shim({"VELMORA_SHIM_FAIL_PREAD=1"}));
  if (geteuid() == 0) {
    const std::string closed = dir.file("closed");
    ASSERT_EQ(mkdir(closed.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink((closed + "/download.bin").c_str(), link.c_str()), 0);
    ChildLimits as_user = with_shim({"VELMORA_SHIM_FAIL_PREAD=1"});
    as_user.user = unprivileged_user;
    expect_fails_safely(dir, words, 255, open_message(link), as_user);
  }
}

// Outputs that are unusual but fine: each run succeeds and harms nothing else.
TEST(VelmoraFault, UnusualOutputsSucceed) {
  if (windows_target()) {
    GTEST_SKIP() << "symbolic links, /dev/null and mode bits are Linux facilities";
  }
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  std::vector<std::string> words = valid_words(dir, out);
  const Bytes app2 = read_bytes(dir.file("app2.bin"));

  words[7] = "/dev/null";
  EXPECT_EQ(run_velmora(words).exit_status, 0);
  struct stat st {};
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  write_bytes(out, {1});
  ASSERT_EQ(chmod(out.c_str(), 0600), 0);
  ASSERT_EQ(symlink(out.c_str(), dir.file("link.bin").c_str()), 0);
  words[7] = dir.file("link.bin");
  ASSERT_EQ(run_velmora(words).exit_status, 0);
  ASSERT_EQ(lstat(dir.file("link.bin").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);  // kept
  EXPECT_EQ(st.st_size, 0x7000);

  // A link to no file: the image is made where it leads, and the link stays; through a chain
  // of links too, each relative one read from its own directory.
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub/made.bin", dir.file("new-link.bin").c_str()), 0);
  words[7] = dir.file("new-link.bin");
  ASSERT_EQ(run_velmora(words).exit_status, 0);
  ASSERT_EQ(lstat(dir.file("new-link.bin").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_bytes(dir.file("sub/made.bin")), read_bytes(out));
  EXPECT_EQ(entry_count(dir.file("sub")), 1u);
  ASSERT_EQ(symlink("chained.bin", dir.file("sub/hop.bin").c_str()), 0);
  ASSERT_EQ(symlink("sub/hop.bin", dir.file("chain.bin").c_str()), 0);
  words[7] = dir.file("chain.bin");
  ASSERT_EQ(run_velmora(words).exit_status, 0);
  EXPECT_EQ(read_bytes(dir.file("sub/chained.bin")), read_bytes(out));
  EXPECT_EQ(entry_count(dir.file("sub")), 3u);  // made.bin, hop.bin, chained.bin
  fs::remove(dir.file("chain.bin"));
  fs::remove_all(dir.file("sub"));
  fs::remove(dir.file("new-link.bin"));

  words[7] = dir.file("app1.bin");  // the output replaces an input, read before
  ASSERT_EQ(run_velmora(words).exit_status, 0);
  EXPECT_EQ(read_bytes(dir.file("app1.bin")), read_bytes(out));
  EXPECT_EQ(read_bytes(dir.file("app2.bin")), app2);
  EXPECT_EQ(snapshot(dir.path).size(), 5u);  // no temporary file left
}

}  // namespace
