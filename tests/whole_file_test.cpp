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

}  // namespace
