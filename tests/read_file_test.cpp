#include "fileio/read_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/files.h"

namespace {

TEST(OpenReadFile, RegularFilesOnlyWithAReason) {
  ScratchDir dir;
  write_bytes(dir.file("five"), {1, 2, 3, 4, 5});
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ReadFile file;
  std::string error;
  ASSERT_TRUE(open_read_file(dir.file("five").c_str(), file, error));
  EXPECT_EQ(file.length, 5);
  close_read_file(file);
  // None of these can be opened; a pipe without a writer must not block.
  const struct {
    std::string path;
    std::string error;
  } refused[] = {
      {dir.file("missing"), dir.file("missing") + ": cannot open: No such file or directory"},
      {dir.path, dir.path + ": cannot open: Is a directory"},
      {dir.file("fifo"),
       dir.file("fifo") + ": cannot open: not a regular file (a pipe, device or socket)"},
      {"/dev/null", "/dev/null: cannot open: not a regular file (a pipe, device or socket)"},
      {"", "'': cannot open: No such file or directory"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.path);
    EXPECT_FALSE(open_read_file(c.path.c_str(), file, error));
    EXPECT_EQ(error, c.error);
  }
}

// The length is the open descriptor's: a file that grows or shrinks after it was opened is
// caught when read, not read for a length it no longer has.
TEST(ReadSource, ExactlyTheLengthTheDescriptorGave) {
  ScratchDir dir;
  const std::string path = dir.file("in");
  write_bytes(path, {1, 2, 3, 4});
  ReadFile file;
  std::string error;
  ASSERT_TRUE(open_read_file(path.c_str(), file, error));
  const ByteSource source = file_source(file);
  Bytes dest(6, 0xFF);
  EXPECT_TRUE(read_source(source, 1, dest.data(), 3, error));
  EXPECT_EQ(dest, (Bytes{2, 3, 4, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(source_ends_at_length(source, error));

  ASSERT_EQ(truncate(path.c_str(), 6), 0);  // it grew after it was opened
  EXPECT_FALSE(source_ends_at_length(source, error));
  EXPECT_EQ(error,
            path + ": cannot read: the file runs on past its length (it changed while read)");

  ASSERT_EQ(truncate(path.c_str(), 2), 0);  // and then shrank
  EXPECT_FALSE(read_source(source, 0, dest.data(), 4, error));
  EXPECT_EQ(error, path + ": cannot read: the file ended early (it changed while read)");
  close_read_file(file);
}

}  // namespace
