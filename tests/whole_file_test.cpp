#include "fileio/whole_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/files.h"

namespace {

TEST(QueryFileLength, RegularFilesOnly) {
  ScratchDir dir;
  write_bytes(dir.file("empty"), {});
  write_bytes(dir.file("five"), {1, 2, 3, 4, 5});
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);

  EXPECT_EQ(query_file_length(dir.file("five").c_str()).length, 5);
  EXPECT_EQ(query_file_length(dir.file("empty").c_str()).outcome, LengthOutcome::ok);
  EXPECT_EQ(query_file_length(dir.file("empty").c_str()).length, 0);
  // None of these can be opened; a pipe without a writer must not block.
  for (const std::string& path : {dir.file("missing"), dir.path, dir.file("fifo"),
                                  std::string("/dev/null"), std::string("")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(query_file_length(path.c_str()).outcome, LengthOutcome::cannot_open);
  }
}

TEST(QueryFileLength, RefusesFilesOf2GiBOrMore) {
  ScratchDir dir;
  for (const std::int64_t size : {std::int64_t{0x7FFFFFFF}, std::int64_t{0x80000000}}) {
    const std::string path = dir.file("sparse");
    write_bytes(path, {});
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
    const FileLength found = query_file_length(path.c_str());
    if (size == 0x7FFFFFFF) {
      EXPECT_EQ(found.outcome, LengthOutcome::ok);
      EXPECT_EQ(found.length, 0x7FFFFFFF);
    } else {
      EXPECT_EQ(found.outcome, LengthOutcome::unusable);
    }
  }
}

TEST(ReadFileInto, ReadsExactlyTheLengthOrReportsAShortRead) {
  ScratchDir dir;
  write_bytes(dir.file("in"), {1, 2, 3, 4});
  Bytes dest(6, 0xFF);
  EXPECT_EQ(read_file_into(dir.file("in").c_str(), dest.data(), 3), ReadOutcome::ok);
  EXPECT_EQ(dest, (Bytes{1, 2, 3, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(read_file_into(dir.file("in").c_str(), dest.data(), 6), ReadOutcome::short_read);
  EXPECT_EQ(read_file_into(dir.file("in").c_str(), dest.data(), 0), ReadOutcome::ok);
  EXPECT_EQ(read_file_into(dir.file("nope").c_str(), dest.data(), 0), ReadOutcome::cannot_open);
  EXPECT_EQ(read_file_into(dir.path.c_str(), dest.data(), 0), ReadOutcome::cannot_open);
}

TEST(WriteFileFrom, ReplacesAnExistingFileWholeAndLeavesNoTemporary) {
  ScratchDir dir;
  const std::string out = dir.file("out.bin");
  write_bytes(out, Bytes(100, 0xAA));
  ASSERT_EQ(chmod(out.c_str(), 0640), 0);
  const Bytes image = {1, 2, 3};
  ASSERT_EQ(write_file_from(out.c_str(), image.data(), 3), WriteOutcome::ok);
  EXPECT_EQ(read_bytes(out), image);  // a longer old file is cut to the new length
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // the old file's mode is kept
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
}

TEST(WriteFileFrom, NewFileGetsTheDefaultMode) {
  ScratchDir dir;
  const mode_t old_mask = umask(022);
  const Bytes image = {7};
  const WriteOutcome outcome = write_file_from(dir.file("new").c_str(), image.data(), 1);
  umask(old_mask);
  ASSERT_EQ(outcome, WriteOutcome::ok);
  struct stat st {};
  ASSERT_EQ(stat(dir.file("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(WriteFileFrom, WritesThroughSymbolicLinks) {
  ScratchDir dir;
  write_bytes(dir.file("target"), Bytes(10, 0));
  ASSERT_EQ(symlink("target", dir.file("link").c_str()), 0);
  ASSERT_EQ(symlink("new-target", dir.file("dangling").c_str()), 0);
  const Bytes image = {9, 8, 7};
  ASSERT_EQ(write_file_from(dir.file("link").c_str(), image.data(), 3), WriteOutcome::ok);
  ASSERT_EQ(write_file_from(dir.file("dangling").c_str(), image.data(), 3), WriteOutcome::ok);
  struct stat st {};
  ASSERT_EQ(lstat(dir.file("link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_bytes(dir.file("target")), image);
  EXPECT_EQ(read_bytes(dir.file("new-target")), image);
}

TEST(WriteFileFrom, RefusesWhatCannotBeOpenedForWriting) {
  ScratchDir dir;
  const Bytes image = {1};
  ASSERT_EQ(symlink("loop", dir.file("loop").c_str()), 0);
  for (const std::string& path : {dir.path, dir.file("missing-dir/out.bin"), dir.file("loop"),
                                  dir.file("new-dir/"), std::string("")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(write_file_from(path.c_str(), image.data(), 1), WriteOutcome::cannot_open);
  }
}

TEST(WriteFileFrom, WritesDevicesInPlace) {
  const Bytes image(8192, 0x5A);
  EXPECT_EQ(write_file_from("/dev/null", image.data(), 8192), WriteOutcome::ok);
  struct stat st {};
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
