#include "fileio/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "common/fail.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// One read or write call moves at most this many bytes. Both platforms cap a call's count,
// and on Linux writing a large image into the page cache in calls of 1 MiB was measured to
// take about half as long as the same bytes in one call.
constexpr std::int64_t io_chunk = std::int64_t{1} << 20;

#ifdef _WIN32
using StatBuf = struct _stat64;
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
std::int64_t seek_to_end(int fd) {
  return _lseeki64(fd, 0, SEEK_END);
}
long long read_some(int fd, std::uint8_t* to, std::int64_t count) {
  return _read(fd, to, static_cast<unsigned>(count));
}
long long write_some(int fd, const std::uint8_t* from, std::int64_t count) {
  return _write(fd, from, static_cast<unsigned>(count));
}
int close_fd(int fd) {
  return _close(fd);
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
// O_NONBLOCK keeps a pipe without a writer from blocking the open; the type check that
// follows turns it away, and on a regular file the flag has no effect.
int open_for_reading(const char* path) {
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}
std::int64_t seek_to_end(int fd) {
  return lseek(fd, 0, SEEK_END);
}
long long read_some(int fd, std::uint8_t* to, std::int64_t count) {
  return read(fd, to, static_cast<std::size_t>(count));
}
long long write_some(int fd, const std::uint8_t* from, std::int64_t count) {
  return write(fd, from, static_cast<std::size_t>(count));
}
int close_fd(int fd) {
  return close(fd);
}
#endif

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

// Reads until `length` bytes have come, the file ends or reading fails; returns how many
// bytes came.
std::int64_t read_up_to(int fd, std::uint8_t* destination, std::int64_t length) {
  std::int64_t done = 0;
  while (done < length) {
    const std::int64_t want = length - done < io_chunk ? length - done : io_chunk;
    const long long got = read_some(fd, destination + done, want);
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

bool write_all(int fd, const std::uint8_t* source, std::int64_t length) {
  std::int64_t done = 0;
  while (done < length) {
    const std::int64_t want = length - done < io_chunk ? length - done : io_chunk;
    const long long got = write_some(fd, source + done, want);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += got;
  }
  return true;
}

// Writes the whole block to an already opened descriptor and closes it; false when any
// byte was not taken or the close reported an error.
bool write_and_close(int fd, const std::uint8_t* source, std::int64_t length) {
  const bool written = write_all(fd, source, length);
  const bool closed = close_fd(fd) == 0;
  return written && closed;
}

// The part of `path` up to and including its last separator, so that a name appended to it
// lands in the same directory: "" for a bare name, "/" for a file in the root. On Windows a
// drive's colon ends it too: "C:name" is relative to drive C's current directory.
std::string directory_prefix(const std::string& path) {
#ifdef _WIN32
  const std::size_t end = path.find_last_of("/\\:");
#else
  const std::size_t end = path.find_last_of('/');
#endif
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

#ifdef _WIN32

// The target of a write: Windows paths are used as given.
bool resolve_target(const char* path, std::string& target) {
  target = path;
  return true;
}

// Windows has no mkstemp: the name is made unique from the process and the time, and the
// exclusive create catches a clash.
int create_temporary(const std::string& prefix, std::string& name) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    name = prefix + ".velmora-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount64() + attempt) + ".tmp";
    const int fd =
        _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

bool may_write(const char* path) {
  return _access(path, 2) == 0;
}
void keep_mode(int, const StatBuf*) {}
// rename() refuses an existing target on Windows; MoveFileEx replaces it in one step.
bool replace_file(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
int open_in_place(const char* path) {
  return _open(path, _O_WRONLY | _O_TRUNC | _O_BINARY);
}

#else

// Follows symbolic links from `path` to the file that finally gets written, which need
// not exist yet (a link may point at a new file). False for a loop of links.
bool resolve_target(const char* path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return true;
    }
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t n = readlink(target.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) {
      return false;
    }
    link.resize(static_cast<std::size_t>(n));
    target = link[0] == '/' ? link : directory_prefix(target) + link;
  }
  return false;
}

int create_temporary(const std::string& prefix, std::string& name) {
  name = prefix + ".velmora-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd >= 0) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return fd;
}

bool may_write(const char* path) {
  return access(path, W_OK) == 0;
}

// A temporary file is created private; the image gets the mode the replaced file had, or
// for a new file the mode any newly created file would get.
void keep_mode(int fd, const StatBuf* old) {
  mode_t mode = 0;
  if (old != nullptr) {
    mode = old->st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = static_cast<mode_t>(0666 & ~mask);
  }
  (void)fchmod(fd, mode);
}

bool replace_file(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}
int open_in_place(const char* path) {
  return open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
}

#endif

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

WriteOutcome write_file_from(const char* path, const std::uint8_t* source, std::int64_t length) {
  std::string target;
  if (path[0] == '\0' || !resolve_target(path, target)) {
    return WriteOutcome::cannot_open;
  }
  StatBuf st{};
  const bool exists = stat_path(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) {
    return WriteOutcome::cannot_open;
  }
  if (exists && is_directory(st)) {
    return WriteOutcome::cannot_open;
  }
  if (exists && !is_regular(st)) {
    // A device or a pipe with a reader: there is nothing to replace, so write to it.
    const int fd = open_in_place(target.c_str());
    if (fd < 0) {
      return WriteOutcome::cannot_open;
    }
    return write_and_close(fd, source, length) ? WriteOutcome::ok : WriteOutcome::cannot_write;
  }
  // A file the user may not write stays refused, as a plain open for writing would be.
  if (exists && !may_write(target.c_str())) {
    return WriteOutcome::cannot_open;
  }
  // A path that ends in a separator (or is a bare drive) names a directory, not a file.
  const std::string prefix = directory_prefix(target);
  if (prefix.size() == target.size()) {
    return WriteOutcome::cannot_open;
  }

  std::string temporary;
  const int fd = create_temporary(prefix, temporary);
  if (fd < 0) {
    return WriteOutcome::cannot_open;
  }
  keep_mode(fd, exists ? &st : nullptr);
  if (!write_and_close(fd, source, length) || !replace_file(temporary, target)) {
    std::remove(temporary.c_str());
    return WriteOutcome::cannot_write;
  }
  return WriteOutcome::ok;
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
      fail_and_wait(exit_cannot_read, "\nCan not read the path: %s \n", path);
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
    fail_and_wait(exit_cannot_read, "\nCan not read the path: %s \n", file.path);
  }
}

void close_input_file(InputFile& file) {
  if (file.fd >= 0) {
    close_fd(file.fd);
  }
  file.fd = -1;
}

void store_output_file(const char* path, const std::uint8_t* source, std::int32_t length) {
  switch (write_file_from(path, source, length)) {
    case WriteOutcome::ok:
      return;
    case WriteOutcome::cannot_open:
      fail_and_wait(exit_cannot_open, "\nCan not open the path: %s \n", path);
    case WriteOutcome::cannot_write:
      fail_and_wait(exit_cannot_write, "\nCan not write the path: %s \n", path);
  }
}
