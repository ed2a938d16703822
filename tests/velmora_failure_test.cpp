// How velmora fails: the message a user sees, the exit status, and no harm to files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "fileio/whole_file.h"
#include "support/inputs.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Writes three small valid inputs and returns the words to compose them into `out`.
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

// The entries of a directory, to check that nothing was left behind.
std::size_t entry_count(const std::string& dir) {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    (void)entry;
    ++n;
  }
  return n;
}

void expect_failure(const ChildResult& r, int status, const std::string& message) {
  EXPECT_EQ(r.exit_status, status);
  EXPECT_TRUE(ends_with(r.out, console_text(message))) << r.out;
  EXPECT_EQ(r.out.find("success"), std::string::npos);
}

TEST(VelmoraFailure, FirstInputThatCannotBeOpenedIsNamed) {
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  std::vector<std::string> words = valid_words(dir, out);
  for (std::size_t word : {0u, 1u, 4u}) {  // bootloader, APP1, APP2
    SCOPED_TRACE(word);
    std::vector<std::string> broken = words;
    broken[word] = dir.file("missing");
    if (word == 0) {
      broken[4] = dir.file("also-missing");  // only the first in read order is named
    }
    expect_failure(run_velmora(broken), 255,
                   "\nCan not open the path: " + dir.file("missing") + " \n");
    EXPECT_FALSE(file_exists(out));
  }
}

TEST(VelmoraFailure, DirectoriesAndEmptyPathsCannotBeOpened) {
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  std::vector<std::string> words = valid_words(dir, out);
  std::vector<std::string> input_dir = words;
  input_dir[1] = dir.path;
  expect_failure(run_velmora(input_dir), 255, "\nCan not open the path: " + dir.path + " \n");
  std::vector<std::string> empty_input = words;
  empty_input[4] = "";
  expect_failure(run_velmora(empty_input), 255, "\nCan not open the path:  \n");
  std::vector<std::string> output_dir = words;
  output_dir[7] = dir.path;
  expect_failure(run_velmora(output_dir), 255, "\nCan not open the path: " + dir.path + " \n");
  std::vector<std::string> missing_dir = words;
  missing_dir[7] = dir.file("no-such-dir/download.bin");
  expect_failure(run_velmora(missing_dir), 255,
                 "\nCan not open the path: " + dir.file("no-such-dir/download.bin") + " \n");
  EXPECT_EQ(entry_count(dir.path), 3u);
}

// Under Wine velmora.exe meets the Linux named pipe too, and must not wait on it either.
TEST(VelmoraFailure, PipeWithoutWriterIsRefusedAtOnce) {
  ScratchDir dir;
  std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  words[1] = dir.file("fifo");
  const auto start = std::chrono::steady_clock::now();
  expect_failure(run_velmora(words), 255, "\nCan not open the path: " + dir.file("fifo") + " \n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(VelmoraFailure, AllocationFailure) {
  if (running_under_runner() || sanitized) {
    GTEST_SKIP() << "needs an address-space limit on a plain native build";
  }
  ScratchDir dir;
  std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  make_sparse(dir.file("big.bin"), 400ll << 20);
  words[1] = dir.file("big.bin");
  const ChildResult r = run_velmora(words, {.address_space = 256ll << 20});
  EXPECT_EQ(r.exit_status, 253);
  EXPECT_TRUE(ends_with(r.out, console_text("malloc memory fail !\n"))) << r.out;
  EXPECT_FALSE(file_exists(dir.file("download.bin")));
}

// Under Wine the file size limit reaches velmora.exe, whose writes fail as on a full disk.
TEST(VelmoraFailure, FailedWriteKeepsTheOldOutput) {
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  const Bytes old = random_bytes(100, 9);
  std::vector<std::string> words = valid_words(dir, out);
  write_bytes(out, old);
  const ChildResult r = run_velmora(words, {.file_size = 0x4000});  // the image is 0x7000
  expect_failure(r, 252, "\nCan not write the path: " + out + " \n");
  EXPECT_EQ(read_bytes(out), old);
  EXPECT_EQ(entry_count(dir.path), 4u);  // three inputs and the old output, no temporary
}

// Wine shows the pseudo-file to velmora.exe as a file of 4096 bytes, too.
TEST(VelmoraFailure, ShortReadIsReported) {
  // A pseudo-file that reports a length of 4096 and holds fewer bytes.
  std::string pseudo;
  for (const char* candidate : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/power/state",
                                "/sys/kernel/profiling", "/sys/devices/system/cpu/online"}) {
    const FileLength found = query_file_length(candidate);
    if (found.outcome == LengthOutcome::ok && found.length == 4096 &&
        read_bytes(candidate).size() < 4096) {
      pseudo = candidate;
      break;
    }
  }
  if (pseudo.empty()) {
    GTEST_SKIP() << "no pseudo-file here reports more bytes than it holds";
  }
  ScratchDir dir;
  std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  words[4] = pseudo;
  expect_failure(run_velmora(words), 251, "\nCan not read the path: " + pseudo + " \n");
  EXPECT_FALSE(file_exists(dir.file("download.bin")));
}

TEST(VelmoraFailure, InputsTooLargeAreRefusedBeforeAllocating) {
  ScratchDir dir;
  std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  make_sparse(dir.file("2g.bin"), 0x80000000ll);
  make_sparse(dir.file("4g.bin"), 0x100000000ll);
  make_sparse(dir.file("1g5.bin"), 0x60000000ll);
  // A run that allocated the image would fail in this little memory. Sanitizers and Wine
  // reserve far more address space than that just to start, so they go without the limit.
  const bool limit = !sanitized && !running_under_runner();
  const ChildLimits small_memory = {.address_space = limit ? 128ll << 20 : 0};
  for (const char* name : {"2g.bin", "4g.bin"}) {
    SCOPED_TRACE(name);
    std::vector<std::string> big = words;
    big[4] = dir.file(name);
    const ChildResult r = run_velmora(big, small_memory);
    expect_failure(r, 250, dir.file(name) + " \n");
    EXPECT_NE(r.out.find("2 GiB"), std::string::npos);
  }
  // Each application fits, the image would not.
  std::vector<std::string> both = words;
  both[1] = dir.file("1g5.bin");
  both[4] = dir.file("1g5.bin");
  const ChildResult r = run_velmora(both, small_memory);
  EXPECT_EQ(r.exit_status, 249);
  EXPECT_NE(r.out.find("2 GiB"), std::string::npos);
  EXPECT_FALSE(file_exists(dir.file("download.bin")));
}

TEST(VelmoraFailure, BootloaderLongerThanTheImageIsRefused) {
  ScratchDir dir;
  std::vector<std::string> words = valid_words(dir, dir.file("download.bin"));
  write_bytes(dir.file("app1.bin"), {});
  write_bytes(dir.file("app2.bin"), {});
  write_bytes(dir.file("boot.bin"), random_bytes(0x3001, 4));  // the image is 0x3000
  expect_failure(run_velmora(words), 248,
                 "\nThe bootloader is longer than the image: " + dir.file("boot.bin") + " \n");
  EXPECT_FALSE(file_exists(dir.file("download.bin")));
  write_bytes(dir.file("boot.bin"), random_bytes(0x3000, 4));  // exactly the image fits
  EXPECT_EQ(run_velmora(words).exit_status, 0);
}

TEST(VelmoraFailure, ReadOnlyOutputIsRefusedAndKept) {
  if (!windows_target() && geteuid() == 0) {
    GTEST_SKIP() << "root may write any file on Linux";
  }
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  const std::vector<std::string> words = valid_words(dir, out);
  const Bytes old = random_bytes(100, 10);
  write_bytes(out, old);
  ASSERT_EQ(chmod(out.c_str(), 0444), 0);  // Wine shows this as the read-only attribute
  expect_failure(run_velmora(words), 255, "\nCan not open the path: " + out + " \n");
  EXPECT_EQ(read_bytes(out), old);
  EXPECT_EQ(entry_count(dir.path), 4u);
}

TEST(VelmoraFailure, OutputOddities) {
  if (running_under_runner()) {
    GTEST_SKIP() << "symbolic links, /dev/null and mode bits are Linux facilities";
  }
  ScratchDir dir;
  const std::string out = dir.file("download.bin");
  std::vector<std::string> words = valid_words(dir, out);
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
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, 0x7000);
}

}  // namespace
