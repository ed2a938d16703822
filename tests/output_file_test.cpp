#include "fileio/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>

#include "common/fail.h"
#include "support/files.h"

namespace {

// The whole output from one block of memory: open, write, finish.
OutputOutcome write_file_from(const char* path, const std::uint8_t* source, std::int64_t length) {
  OutputFile file;
  const OutputOutcome opened = open_output_file(path, file);
  if (opened != OutputOutcome::ok) {
    discard_output_file(file);
    return opened;
  }
  if (!write_output_at(file, 0, source, length)) {
    discard_output_file(file);
    return OutputOutcome::cannot_write;
  }
  return finish_output_file(file);
}

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(WriteFileFrom, ReplacesAnExistingFileWholeKeepingModeAndOwner) {
  ScratchDir dir;
  const std::string out = dir.file("out.bin");
  write_bytes(out, Bytes(100, 0xAA));
  ASSERT_EQ(chmod(out.c_str(), 0640), 0);
  // Only root may give a file away; elsewhere the owner is the user's own either way.
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(out.c_str(), 4321, 8765), 0);
  }
  const Bytes image = {1, 2, 3};
  ASSERT_EQ(write_file_from(out.c_str(), image.data(), 3), OutputOutcome::ok);
  EXPECT_EQ(read_bytes(out), image);  // a longer old file is cut to the new length
  const struct stat st = stat_of(out);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
  }
  EXPECT_EQ(entry_count(dir.path), 1u);
}

TEST(WriteFileFrom, NewFileGetsTheModeOfAnyNewFile) {
  ScratchDir dir;
  const struct {
    mode_t mask;
    mode_t mode;
  } cases[] = {{022, 0644}, {027, 0640}, {0, 0666}, {077, 0600}};
  const Bytes image = {7};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    const std::string out = dir.file("new" + std::to_string(c.mask));
    const mode_t old_mask = umask(c.mask);
    const OutputOutcome outcome = write_file_from(out.c_str(), image.data(), 1);
    umask(old_mask);
    ASSERT_EQ(outcome, OutputOutcome::ok);
    EXPECT_EQ(stat_of(out).st_mode & 07777, c.mode);
  }
}

TEST(WriteFileFrom, WritesThroughSymbolicLinks) {
  ScratchDir dir;
  write_bytes(dir.file("target"), Bytes(10, 0));
  ASSERT_EQ(symlink("target", dir.file("link").c_str()), 0);
  ASSERT_EQ(symlink("new-target", dir.file("dangling").c_str()), 0);
  const Bytes image = {9, 8, 7};
  ASSERT_EQ(write_file_from(dir.file("link").c_str(), image.data(), 3), OutputOutcome::ok);
  ASSERT_EQ(write_file_from(dir.file("dangling").c_str(), image.data(), 3), OutputOutcome::ok);
  struct stat st {};
  ASSERT_EQ(lstat(dir.file("link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_bytes(dir.file("target")), image);
  EXPECT_EQ(read_bytes(dir.file("new-target")), image);
}

// Every name of a hard-linked file sees the new bytes: it is the same file, written in place.
TEST(WriteFileFrom, WritesAHardLinkedFileInPlace) {
  ScratchDir dir;
  write_bytes(dir.file("a"), Bytes(50, 1));
  ASSERT_EQ(link(dir.file("a").c_str(), dir.file("b").c_str()), 0);
  const ino_t inode = stat_of(dir.file("a")).st_ino;
  const Bytes image = {4, 5};
  ASSERT_EQ(write_file_from(dir.file("a").c_str(), image.data(), 2), OutputOutcome::ok);
  EXPECT_EQ(read_bytes(dir.file("b")), image);
  EXPECT_EQ(stat_of(dir.file("a")).st_ino, inode);
  EXPECT_EQ(entry_count(dir.path), 2u);
}

// Until it is finished, an output changes nothing a user can see, whichever way it is written.
TEST(OutputFile, DiscardedOutputLeavesTheOldFileAndNothingElse) {
  ScratchDir dir;
  const Bytes old(300, 0x33);
  write_bytes(dir.file("single"), old);
  write_bytes(dir.file("linked"), old);
  ASSERT_EQ(link(dir.file("linked").c_str(), dir.file("other").c_str()), 0);
  for (const char* name : {"single", "linked", "new"}) {
    SCOPED_TRACE(name);
    OutputFile file;
    ASSERT_EQ(open_output_file(dir.file(name).c_str(), file), OutputOutcome::ok);
    const Bytes part(100, 0x44);
    ASSERT_TRUE(write_output_at(file, 0, part.data(), 100));
    discard_output_file(file);
  }
  EXPECT_EQ(read_bytes(dir.file("single")), old);
  EXPECT_EQ(read_bytes(dir.file("other")), old);
  EXPECT_FALSE(file_exists(dir.file("new")));
  EXPECT_EQ(entry_count(dir.path), 3u);
}

TEST(WriteFileFrom, RefusesWhatCannotBeOpenedForWriting) {
  ScratchDir dir;
  const Bytes image = {1};
  ASSERT_EQ(symlink("loop", dir.file("loop").c_str()), 0);
  for (const std::string& path : {dir.path, dir.file("missing-dir/out.bin"), dir.file("loop"),
                                  dir.file("new-dir/"), std::string("")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(write_file_from(path.c_str(), image.data(), 1), OutputOutcome::cannot_open);
  }
}

TEST(WriteFileFrom, WritesDevicesInPlace) {
  const Bytes image(8192, 0x5A);
  EXPECT_EQ(write_file_from("/dev/null", image.data(), 8192), OutputOutcome::ok);
  EXPECT_TRUE(S_ISCHR(stat_of("/dev/null").st_mode));
}

// A temporary file with a name (where the file system gives no unnamed one) is removed by
// the failure ending and by each signal that would end a run, which then ends the process as
// the signal would have. Each case runs in a child process.
TEST(PendingFiles, FailureEndingAndSignalsRemoveThem) {
  ScratchDir dir;
  const struct {
    int signal_number;  // 0: the failure ending
    int exit_status;
  } cases[] = {{0, 252},     {SIGINT, 0},  {SIGTERM, 0}, {SIGHUP, 0},  {SIGPIPE, 0},
               {SIGQUIT, 0}, {SIGALRM, 0}, {SIGUSR1, 0}, {SIGUSR2, 0}, {SIGXCPU, 0},
               {SIGPROF, 0}, {SIGABRT, 0}, {SIGRTMIN, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal_number);
    const std::string first = dir.file("first.tmp");
    const std::string second = dir.file("second.tmp");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const rlimit no_core{0, 0};  // SIGQUIT and SIGABRT would dump one
      setrlimit(RLIMIT_CORE, &no_core);
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      write_bytes(first, {1});
      write_bytes(second, {2});
      OutputFile out;  // installs the handlers
      if (open_output_file(dir.file("out.bin").c_str(), out) != OutputOutcome::ok ||
          add_pending_file(-1, first.c_str()) < 0 || add_pending_file(-1, second.c_str()) < 0) {
        _exit(99);
      }
      if (c.signal_number == 0) {
        fail_and_wait(exit_cannot_write, "%s", "");
      }
      raise(c.signal_number);
      _exit(98);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (c.signal_number == 0) {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), c.exit_status);
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
      EXPECT_EQ(WTERMSIG(status), c.signal_number);
    }
    EXPECT_FALSE(file_exists(first));
    EXPECT_FALSE(file_exists(second));
    EXPECT_EQ(entry_count(dir.path), 0u);  // the unfinished output left nothing either
  }
}

// Opening an output leaves alone a signal the program ignores or already handles: the run goes
// on after both arrive, and the program's own handler is the one that ran.
volatile sig_atomic_t own_handler_ran = 0;
extern "C" void own_handler(int) {
  own_handler_ran = 1;
}

TEST(PendingFiles, SignalsTheProgramHandlesOrIgnoresKeepTheirDisposition) {
  ScratchDir dir;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGHUP, SIG_IGN);
    signal(SIGALRM, own_handler);
    OutputFile out;
    if (open_output_file(dir.file("out.bin").c_str(), out) != OutputOutcome::ok) {
      _exit(99);
    }
    raise(SIGHUP);
    raise(SIGALRM);
    discard_output_file(out);
    _exit(own_handler_ran == 1 ? 0 : 98);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(entry_count(dir.path), 0u);
}

}  // namespace
