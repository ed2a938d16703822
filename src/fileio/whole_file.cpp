#include "fileio/whole_file.h"

#include "common/fail.h"
#include "fileio/os_file.h"

namespace {

// Opens a regular file for reading, or returns -1. The path is looked at before it is
// opened, so that a pipe or a device is never opened at all, and again after.
int open_regular_file(const char* path) {
  StatBuf st{};
  if (path[0] == '\0' || stat_path(path, &st) != 0 || !is_regular(st)) {
    return -1;
  }
  const int fd = open_for_reading(path);
  if (fd < 0) {
    return -1;
  }
  if (stat_fd(fd, &st) != 0 || !is_regular(st)) {
    close_fd(fd);
    return -1;
  }
  return fd;
}

[[noreturn]] void fail_short_read(const char* path) {
  fail_and_wait(exit_cannot_read, "\nCan not read the path: %s \n", path);
}

}  // namespace

FileLength query_file_length(const char* path) {
  FileLength result;
  const int fd = open_regular_file(path);
  if (fd < 0) {
    return result;
  }
  const std::int64_t end = seek_to_end(fd);
  close_fd(fd);
  if (end < 0 || end > max_file_length) {
    result.outcome = LengthOutcome::unusable;
    return result;
  }
  result.outcome = LengthOutcome::ok;
  result.length = end;
  return result;
}

ReadOutcome read_file_into(const char* path, std::uint8_t* destination, std::int64_t length) {
  const int fd = open_regular_file(path);
  if (fd < 0) {
    return ReadOutcome::cannot_open;
  }
  const std::int64_t done = read_up_to(fd, destination, length);
  close_fd(fd);
  return done == length ? ReadOutcome::ok : ReadOutcome::short_read;
}

std::int32_t get_file_length(const char* path) {
  const FileLength found = query_file_length(path);
  if (found.outcome == LengthOutcome::unusable) {
    fail_and_wait(exit_bad_length, "\nThe file is 2 GiB or larger, or its length is unknown: %s \n",
                  path);
  }
  return found.outcome == LengthOutcome::ok ? static_cast<std::int32_t>(found.length) : 0;
}

void load_input_file(const char* path, std::uint8_t* destination, std::int32_t length) {
  switch (read_file_into(path, destination, length)) {
    case ReadOutcome::ok:
      return;
    case ReadOutcome::cannot_open:
      fail_and_wait(exit_cannot_open, "\nCan not open the path: %s \n", path);
    case ReadOutcome::short_read:
      fail_short_read(path);
  }
}

InputFile open_input_file(const char* path) {
  InputFile file;
  file.path = path;
  file.fd = open_regular_file(path);
  if (file.fd < 0) {
    fail_and_wait(exit_cannot_open, "\nCan not open the path: %s \n", path);
  }
  return file;
}

void read_input_stretch(InputFile& file, std::uint8_t* destination, std::int64_t length) {
  if (read_up_to(file.fd, destination, length) != length) {
    close_input_file(file);
    fail_short_read(file.path);
  }
}

void rewind_input_file(InputFile& file) {
  if (!seek_to_start(file.fd)) {
    close_input_file(file);
    fail_short_read(file.path);
  }
}

void close_input_file(InputFile& file) {
  if (file.fd >= 0) {
    close_fd(file.fd);
  }
  file.fd = -1;
}
