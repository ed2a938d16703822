#include "fileio/read_file.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/fail.h"
#include "fileio/os_file.h"

namespace {

// One read call moves at most this many bytes: both platforms cap a call's count.
constexpr std::int64_t io_chunk = std::int64_t{1} << 20;

// One write call moves at most this many bytes: Linux's page cache keeps a file in blocks as
// large as the writes that made them, and large blocks need free memory in one piece, which a
// virtual machine's host may first have to hand back (bench/README.md has the measurements).
constexpr std::int64_t write_chunk = std::int64_t{32} << 10;

// Moves up to `length` bytes in calls of at most `chunk`, reading into `to` where it is set,
// else writing from `from`; a call that moves nothing or fails ends it, unless a signal
// interrupted it. Returns how many moved.
std::int64_t transfer(int fd, std::int64_t offset, std::uint8_t* to, const std::uint8_t* from,
                      std::int64_t length) {
  const std::int64_t chunk = to != nullptr ? io_chunk : write_chunk;
  std::int64_t done = 0;
  while (done < length) {
    const std::int64_t want = length - done < chunk ? length - done : chunk;
    const std::int64_t at = offset < 0 ? -1 : offset + done;
    const long long got = to != nullptr ? move_some_at(fd, at, to + done, nullptr, want)
                                        : move_some_at(fd, at, nullptr, from + done, want);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    done += got;
  }
  return done;
}

bool refuse(const std::string& path, const std::string& why, std::string& error) {
  error = (path.empty() ? "''" : path) + ": cannot open: " + why;
  return false;
}

// Whether a stat call that returned `result` into `st` saw a regular file; else `error` says
// why not.
bool saw_regular(int result, const StatBuf& st, const char* path, std::string& error) {
  if (result == 0 && S_ISREG(st.st_mode)) {
    return true;
  }
  return refuse(path,
                result != 0           ? std::strerror(errno)
                : S_ISDIR(st.st_mode) ? std::strerror(EISDIR)
                                      : "not a regular file (a pipe, device or socket)",
                error);
}

// A read failed (errno set) or the file was not as long as it was (errno left at 0).
bool cannot_read(const ByteSource& source, const char* otherwise, std::string& error) {
  error = source.file->path + ": cannot read: " + (errno != 0 ? std::strerror(errno) : otherwise);
  return false;
}

}  // namespace

bool open_read_file(const char* path, ReadFile& file, std::string& error) {
  StatBuf st{};
  // The path is looked at before it is opened, so that a pipe or a device is never opened.
  if (!saw_regular(stat_path(path, &st), st, path, error)) {
    return false;
  }
  const int fd = open_for_reading(path);
  if (fd < 0) {
    return refuse(path, std::strerror(errno), error);
  }
  // What was opened is what is read: its type and length come from the descriptor.
  if (!saw_regular(stat_fd(fd, &st), st, path, error)) {
    close_fd(fd);
    return false;
  }
  file.fd = fd;
  file.length = static_cast<std::int64_t>(st.st_size);
  file.path = path;
  return true;
}

void close_read_file(ReadFile& file) {
  if (file.fd >= 0) {
    close_fd(file.fd);
  }
  file.fd = -1;
}

ByteSource file_source(const ReadFile& file) {
  return ByteSource{&file, nullptr, file.length};
}

ByteSource memory_source(const std::uint8_t* bytes, std::int64_t length) {
  return ByteSource{nullptr, bytes, length};
}

bool read_source(const ByteSource& source, std::int64_t offset, std::uint8_t* to,
                 std::int64_t count, std::string& error) {
  if (source.file == nullptr) {
    if (count > 0) {
      std::memcpy(to, source.bytes + offset, static_cast<std::size_t>(count));
    }
    return true;
  }
  errno = 0;
  return read_up_to_at(source.file->fd, offset, to, count) == count ||
         cannot_read(source, "the file ended early (it changed while read)", error);
}

bool source_ends_at_length(const ByteSource& source, std::string& error) {
  if (source.file == nullptr) {
    return true;
  }
  std::uint8_t byte = 0;
  if (source.length > 0 && !read_source(source, source.length - 1, &byte, 1, error)) {
    return false;
  }
  errno = 0;
  return (read_up_to_at(source.file->fd, source.length, &byte, 1) == 0 && errno == 0) ||
         cannot_read(source, "the file runs on past its length (it changed while read)", error);
}

void fail_cannot_open(const char* path) {
  fail_and_wait(exit_cannot_open, "\nCan not open the path: %s \n", path);
}

void fail_cannot_read(const char* path) {
  fail_and_wait(exit_cannot_read, "\nCan not read the path: %s \n", path);
}

void fail_cannot_write(const char* path) {
  fail_and_wait(exit_cannot_write, "\nCan not write the path: %s \n", path);
}

void fail_bad_length(const char* path) {
  fail_and_wait(exit_bad_length, "\nThe file is 2 GiB or larger, or its length is unknown: %s \n",
                path);
}

std::int64_t read_up_to_at(int fd, std::int64_t offset, std::uint8_t* destination,
                           std::int64_t length) {
  return transfer(fd, offset, destination, nullptr, length);
}

bool write_all_at(int fd, std::int64_t offset, const std::uint8_t* source, std::int64_t length) {
  return transfer(fd, offset, nullptr, source, length) == length;
}

bool copy_from_start(int from, int to) {
  StatBuf st{};
  if (stat_fd(from, &st) != 0) {
    return false;
  }
  const std::int64_t length = st.st_size;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(length < io_chunk ? length : io_chunk));
  for (std::int64_t offset = 0; offset < length; offset += io_chunk) {
    const std::int64_t want = length - offset < io_chunk ? length - offset : io_chunk;
    if (read_up_to_at(from, offset, buffer.data(), want) != want ||
        !write_all_at(to, -1, buffer.data(), want)) {
      return false;
    }
  }
  return true;
}
