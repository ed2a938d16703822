#include "fileio/os_file.h"

#include <fcntl.h>

#include <cerrno>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
long long read_some(int fd, std::uint8_t* to, std::int64_t count) {
  return _read(fd, to, static_cast<unsigned>(count));
}
long long write_some(int fd, const std::uint8_t* from, std::int64_t count) {
  return _write(fd, from, static_cast<unsigned>(count));
}
// Windows has no pread or pwrite on descriptors; the tool is single-threaded, so moving the
// position first is enough.
long long read_some_at(int fd, std::int64_t offset, std::uint8_t* to, std::int64_t count) {
  return _lseeki64(fd, offset, SEEK_SET) < 0 ? -1 : read_some(fd, to, count);
}
long long write_some_at(int fd, std::int64_t offset, const std::uint8_t* from, std::int64_t count) {
  return _lseeki64(fd, offset, SEEK_SET) < 0 ? -1 : write_some(fd, from, count);
}
#else
long long read_some(int fd, std::uint8_t* to, std::int64_t count) {
  return read(fd, to, static_cast<std::size_t>(count));
}
long long write_some(int fd, const std::uint8_t* from, std::int64_t count) {
  return write(fd, from, static_cast<std::size_t>(count));
}
long long read_some_at(int fd, std::int64_t offset, std::uint8_t* to, std::int64_t count) {
  return pread(fd, to, static_cast<std::size_t>(count), static_cast<off_t>(offset));
}
long long write_some_at(int fd, std::int64_t offset, const std::uint8_t* from, std::int64_t count) {
  return pwrite(fd, from, static_cast<std::size_t>(count), static_cast<off_t>(offset));
}
#endif

std::int64_t next_call(std::int64_t left) {
  return left < io_chunk ? left : io_chunk;
}

}  // namespace

#ifdef _WIN32

// The C library's stat knows files and directories only. A device (NUL, CON, COM1) or a named
// pipe is recognised from the type of a handle opened with no access rights, which neither
// reads nor writes it.
int stat_path(const char* path, StatBuf* st) {
  if (_stat64(path, st) == 0) {
    return 0;
  }
  const int stat_error = errno;
  const HANDLE handle =
      CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
      *st = StatBuf{};
      st->st_mode = type == FILE_TYPE_CHAR ? _S_IFCHR : _S_IFIFO;
      return 0;
    }
  }
  errno = stat_error;
  return -1;
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
int close_fd(int fd) {
  return _close(fd);
}
// The C library gives no inode numbers on Windows; the volume and the file index do the same.
bool same_file(int fd_a, int fd_b) {
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  const auto handle = [](int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); };
  if (!GetFileInformationByHandle(handle(fd_a), &a) ||
      !GetFileInformationByHandle(handle(fd_b), &b)) {
    return false;
  }
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}
std::string directory_prefix(const std::string& path) {
  const std::size_t end = path.find_last_of("/\\:");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

#else

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
// O_NONBLOCK keeps a pipe without a writer from blocking the open; the type check that
// follows turns it away, and on a regular file the flag has no effect.
int open_for_reading(const char* path) {
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}
int close_fd(int fd) {
  return close(fd);
}
bool same_file(int fd_a, int fd_b) {
  struct stat a {};
  struct stat b {};
  return fstat(fd_a, &a) == 0 && fstat(fd_b, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}
std::string directory_prefix(const std::string& path) {
  const std::size_t end = path.find_last_of('/');
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

#endif

namespace {

// A call that moved nothing or failed ends a transfer, unless a signal interrupted it.
bool retry(long long got) {
  return got < 0 && errno == EINTR;
}

// Reads up to `length` bytes in calls of at most io_chunk, at `offset` or, when it is
// negative, at the file's position; returns how many came.
std::int64_t read_loop(int fd, std::int64_t offset, std::uint8_t* to, std::int64_t length) {
  std::int64_t done = 0;
  while (done < length) {
    const std::int64_t want = next_call(length - done);
    const long long got = offset < 0 ? read_some(fd, to + done, want)
                                     : read_some_at(fd, offset + done, to + done, want);
    if (retry(got)) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    done += got;
  }
  return done;
}

// The same for writing, in calls of at most write_chunk; true when every byte was taken.
bool write_loop(int fd, std::int64_t offset, const std::uint8_t* from, std::int64_t length) {
  std::int64_t done = 0;
  while (done < length) {
    const std::int64_t want = length - done < write_chunk ? length - done : write_chunk;
    const long long got = offset < 0 ? write_some(fd, from + done, want)
                                     : write_some_at(fd, offset + done, from + done, want);
    if (retry(got)) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += got;
  }
  return true;
}

}  // namespace

std::int64_t read_up_to_at(int fd, std::int64_t offset, std::uint8_t* destination,
                           std::int64_t length) {
  return read_loop(fd, offset, destination, length);
}

bool write_all(int fd, const std::uint8_t* source, std::int64_t length) {
  return write_loop(fd, -1, source, length);
}

bool write_all_at(int fd, std::int64_t offset, const std::uint8_t* source, std::int64_t length) {
  return write_loop(fd, offset, source, length);
}

bool reserve_length(int fd, std::int64_t length) {
#ifdef __linux__
  // fallocate(2) itself, not posix_fallocate(3), which writes a byte into every block where
  // the file system cannot reserve: that would be a second write of the whole file.
  int result = 0;
  do {
    result = fallocate(fd, 0, 0, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0 || (errno != ENOSPC && errno != EDQUOT && errno != EFBIG);
#else
  (void)fd;
  (void)length;
  return true;
#endif
}

bool copy_from_start(int from, int to) {
  StatBuf st{};
  if (stat_fd(from, &st) != 0) {
    return false;
  }
  const std::int64_t length = st.st_size;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(length < io_chunk ? length : io_chunk));
  for (std::int64_t offset = 0; offset < length;) {
    const std::int64_t want = next_call(length - offset);
    if (read_up_to_at(from, offset, buffer.data(), want) != want ||
        !write_all(to, buffer.data(), want)) {
      return false;
    }
    offset += want;
  }
  return true;
}

void reserve_standard_descriptors() {
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0 && null != fd) {
        close(null);
      }
    }
  }
#endif
}
