#include "inspect/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
using StatBuf = struct _stat64;
int stat_path(const char* path, StatBuf* st) {
  return _stat64(path, st);
}
int stat_fd(int fd, StatBuf* st) {
  return _fstat64(fd, st);
}
bool is_regular(const StatBuf& st) {
  return (st.st_mode & _S_IFMT) == _S_IFREG;
}
bool is_directory(const StatBuf& st) {
  return (st.st_mode & _S_IFMT) == _S_IFDIR;
}
int open_for_reading(const char* path) {
  return _open(path, _O_RDONLY | _O_BINARY);
}
// Windows has no positioned read for C runtime descriptors: seek, then read.
long long read_at_most(int fd, std::int64_t offset, std::uint8_t* to, std::int64_t count) {
  if (_lseeki64(fd, offset, SEEK_SET) != offset) {
    return -1;
  }
  return _read(fd, to, static_cast<unsigned>(count));
}
void close_fd(int fd) {
  _close(fd);
}
#else
using StatBuf = struct stat;
int stat_path(const char* path, StatBuf* st) {
  return stat(path, st);
}
int stat_fd(int fd, StatBuf* st) {
  return fstat(fd, st);
}
bool is_regular(const StatBuf& st) {
  return S_ISREG(st.st_mode);
}
bool is_directory(const StatBuf& st) {
  return S_ISDIR(st.st_mode);
}
// O_NONBLOCK keeps a pipe that slipped in between the two looks from blocking the open.
int open_for_reading(const char* path) {
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}
long long read_at_most(int fd, std::int64_t offset, std::uint8_t* to, std::int64_t count) {
  return pread(fd, to, static_cast<std::size_t>(count), static_cast<off_t>(offset));
}
void close_fd(int fd) {
  close(fd);
}
#endif

std::string system_text(int error_number) {
  return std::strerror(error_number);
}

// Why a path that stat() saw is not a file to read.
std::string not_regular_reason(const StatBuf& st) {
  return is_directory(st) ? system_text(EISDIR) : "not a regular file (a pipe, device or socket)";
}

}  // namespace

bool open_read_file(const char* path, ReadFile& file, std::string& error) {
  const std::string name = path;
  StatBuf st{};
  // The path is looked at before it is opened, so that a pipe or a device is never opened.
  if (path[0] == '\0') {
    error = "'': cannot open: " + system_text(ENOENT);
    return false;
  }
  if (stat_path(path, &st) != 0) {
    error = name + ": cannot open: " + system_text(errno);
    return false;
  }
  if (!is_regular(st)) {
    error = name + ": cannot open: " + not_regular_reason(st);
    return false;
  }
  const int fd = open_for_reading(path);
  if (fd < 0) {
    error = name + ": cannot open: " + system_text(errno);
    return false;
  }
  if (stat_fd(fd, &st) != 0 || !is_regular(st)) {
    const int why = errno;
    close_fd(fd);
    error = name + ": cannot open: " + (is_regular(st) ? system_text(why) : not_regular_reason(st));
    return false;
  }
  file.fd = fd;
  file.length = static_cast<std::int64_t>(st.st_size);
  file.path = name;
  return true;
}

void close_read_file(ReadFile& file) {
  if (file.fd >= 0) {
    close_fd(file.fd);
  }
  file.fd = -1;
}

ByteSource file_source(ReadFile& file) {
  ByteSource source;
  source.file = &file;
  source.length = file.length;
  return source;
}

ByteSource memory_source(const std::uint8_t* bytes, std::int64_t length) {
  ByteSource source;
  source.bytes = bytes;
  source.length = length;
  return source;
}

bool read_source(const ByteSource& source, std::int64_t offset, std::uint8_t* to,
                 std::int64_t count, std::string& error) {
  if (source.file == nullptr) {
    if (count > 0) {
      std::memcpy(to, source.bytes + offset, static_cast<std::size_t>(count));
    }
    return true;
  }
  std::int64_t done = 0;
  while (done < count) {
    const std::int64_t want = count - done < stretch_bytes ? count - done : stretch_bytes;
    const long long got = read_at_most(source.file->fd, offset + done, to + done, want);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      error = source.file->path + ": cannot read: " + system_text(errno);
      return false;
    }
    if (got == 0) {
      error = source.file->path + ": cannot read: the file ended early (it changed while read)";
      return false;
    }
    done += got;
  }
  return true;
}

std::vector<std::uint8_t> stretch_buffer(std::int64_t most) {
  const std::int64_t words = (std::max<std::int64_t>(most, 0) + 3) / 4 * 4;
  return std::vector<std::uint8_t>(static_cast<std::size_t>(std::min(words, stretch_bytes)));
}
