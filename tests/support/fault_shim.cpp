// Preloaded into velmora and velmora-inspect by the fault tests (LD_PRELOAD) to make calls fail
// that no file system here makes fail on demand, or to take away what some systems lack. Each
// fault is off unless its variable is set in the environment:
//   VELMORA_SHIM_MALLOC_LIMIT=N  every malloc of N bytes or more returns null;
//   VELMORA_SHIM_FAIL_CLOSE=1    closing a regular file open for writing reports EIO (the file
//                                is closed all the same, as after a failed write-back);
//   VELMORA_SHIM_FAIL_RENAME=N   the Nth rename (counting from 1) fails with EIO;
//   VELMORA_SHIM_BUSY_RENAME=N   the Nth rename fails with EBUSY, as over a file that became a
//                                mount point after it was opened;
//   VELMORA_SHIM_FAIL_TRUNCATE=N the Nth ftruncate fails with EIO;
//   VELMORA_SHIM_NO_TMPFILE=1    unnamed temporary files are refused (EOPNOTSUPP), as on file
//                                systems without them;
//   VELMORA_SHIM_NO_PROC=1       nothing under /proc can be opened, read or linked from, as
//                                where /proc is hidden;
//   VELMORA_SHIM_GROW=NAME       the first read of a file whose path ends in NAME appends a
//                                byte to that file, as if it grew while it was read
//                                (VELMORA_SHIM_GROW_READ=N: the Nth read of it instead);
//   VELMORA_SHIM_FAIL_PREAD=N    the Nth positioned read fails with EIO;
//   VELMORA_SHIM_FAIL_PWRITE=N   the Nth positioned write fails with EIO;
//   VELMORA_SHIM_NO_FALLOCATE=1  reserving room for a file is refused (EOPNOTSUPP), as on file
//                                systems that cannot;
//   VELMORA_SHIM_TERM_RENAME=N, VELMORA_SHIM_TERM_TRUNCATE=N, VELMORA_SHIM_TERM_PWRITE=N
//                                the Nth rename, ftruncate or positioned write first sends
//                                SIGTERM to its own thread, as a user's kill at that moment.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool enabled(const char* variable) {
  return std::getenv(variable) != nullptr;
}

bool under_proc(const char* path) {
  return enabled("VELMORA_SHIM_NO_PROC") && std::strncmp(path, "/proc/", 6) == 0;
}

bool refuse_tmpfile(int flags) {
#ifdef O_TMPFILE
  return (flags & O_TMPFILE) == O_TMPFILE && enabled("VELMORA_SHIM_NO_TMPFILE");
#else
  (void)flags;
  return false;
#endif
}

// True, with errno EIO, for the call of a kind that `variable` numbers.
bool nth_call_fails(const char* variable, long& count) {
  const char* nth = std::getenv(variable);
  if (nth != nullptr && ++count == std::strtol(nth, nullptr, 10)) {
    errno = EIO;
    return true;
  }
  return false;
}

// Sends SIGTERM before the call of a kind that `variable` numbers.
void nth_call_terminated(const char* variable, long& count) {
  const char* nth = std::getenv(variable);
  if (nth != nullptr && ++count == std::strtol(nth, nullptr, 10)) {
    raise(SIGTERM);
  }
}

bool rename_fails() {
  static long terminated = 0;
  static long count = 0;
  static long busy = 0;
  nth_call_terminated("VELMORA_SHIM_TERM_RENAME", terminated);
  if (nth_call_fails("VELMORA_SHIM_BUSY_RENAME", busy)) {
    errno = EBUSY;
    return true;
  }
  return nth_call_fails("VELMORA_SHIM_FAIL_RENAME", count);
}

bool pread_fails() {
  static long count = 0;
  return nth_call_fails("VELMORA_SHIM_FAIL_PREAD", count);
}

bool pwrite_fails() {
  static long terminated = 0;
  static long count = 0;
  nth_call_terminated("VELMORA_SHIM_TERM_PWRITE", terminated);
  return nth_call_fails("VELMORA_SHIM_FAIL_PWRITE", count);
}

// True, with errno EOPNOTSUPP, when reserving room is to be refused.
bool fallocate_refused() {
  if (!enabled("VELMORA_SHIM_NO_FALLOCATE")) {
    return false;
  }
  errno = EOPNOTSUPP;
  return true;
}

// Appends one byte to the file open as `fd`, once, when its path ends in VELMORA_SHIM_GROW.
void grow_once(int fd) {
  static bool grown = false;
  const char* suffix = std::getenv("VELMORA_SHIM_GROW");
  if (grown || suffix == nullptr) {
    return;
  }
  char proc[64];
  char path[4096];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  const ssize_t n =
      next<ssize_t (*)(const char*, char*, std::size_t)>("readlink")(proc, path, sizeof path - 1);
  const std::size_t length = std::strlen(suffix);
  if (n <= 0 || static_cast<std::size_t>(n) < length) {
    return;
  }
  path[n] = '\0';
  if (std::strcmp(path + n - static_cast<ssize_t>(length), suffix) != 0) {
    return;
  }
  static long reads = 0;
  const char* nth = std::getenv("VELMORA_SHIM_GROW_READ");
  if (nth != nullptr && ++reads < std::strtol(nth, nullptr, 10)) {
    return;
  }
  grown = true;
  const int out = next<int (*)(const char*, int, ...)>("open")(path, O_WRONLY | O_APPEND);
  if (out >= 0) {
    const char byte = 0x5A;
    (void)next<ssize_t (*)(int, const void*, std::size_t)>("write")(out, &byte, 1);
    next<int (*)(int)>("close")(out);
  }
}

}  // namespace

extern "C" {

void* __libc_malloc(std::size_t size);

void* malloc(std::size_t size) {
  static const char* limit = std::getenv("VELMORA_SHIM_MALLOC_LIMIT");
  if (limit != nullptr && size >= std::strtoull(limit, nullptr, 10)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

int close(int fd) {
  struct stat st {};
  const int flags = fcntl(fd, F_GETFL);
  const bool written_file =
      flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const int result = next<int (*)(int)>("close")(fd);
  if (result == 0 && written_file && enabled("VELMORA_SHIM_FAIL_CLOSE")) {
    errno = EIO;
    return -1;
  }
  return result;
}

int rename(const char* from, const char* to) {
  return rename_fails() ? -1 : next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  return rename_fails() ? -1
                        : next<int (*)(int, const char*, int, const char*)>("renameat")(
                              from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  return rename_fails() ? -1
                        : next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
                              from_dir, from, to_dir, to, flags);
}

int openat(int dir, const char* path, int flags, ...) {
  std::va_list args;
  va_start(args, flags);
  const mode_t mode = static_cast<mode_t>(va_arg(args, unsigned));
  va_end(args);
  if (refuse_tmpfile(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (under_proc(path)) {
    errno = ENOENT;
    return -1;
  }
  return next<int (*)(int, const char*, int, ...)>("openat")(dir, path, flags, mode);
}

int open(const char* path, int flags, ...) {
  std::va_list args;
  va_start(args, flags);
  const mode_t mode = static_cast<mode_t>(va_arg(args, unsigned));
  va_end(args);
  if (refuse_tmpfile(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (under_proc(path)) {
    errno = ENOENT;
    return -1;
  }
  return next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

ssize_t readlink(const char* path, char* to, std::size_t size) {
  if (under_proc(path)) {
    errno = ENOENT;
    return -1;
  }
  return next<ssize_t (*)(const char*, char*, std::size_t)>("readlink")(path, to, size);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  if (under_proc(from)) {
    errno = ENOENT;
    return -1;
  }
  return next<int (*)(int, const char*, int, const char*, int)>("linkat")(from_dir, from, to_dir,
                                                                          to, flags);
}

int ftruncate(int fd, off_t length) {
  static long terminated = 0;
  static long count = 0;
  nth_call_terminated("VELMORA_SHIM_TERM_TRUNCATE", terminated);
  return nth_call_fails("VELMORA_SHIM_FAIL_TRUNCATE", count)
             ? -1
             : next<int (*)(int, off_t)>("ftruncate")(fd, length);
}

ssize_t pread(int fd, void* to, std::size_t count, off_t offset) {
  grow_once(fd);
  return pread_fails()
             ? -1
             : next<ssize_t (*)(int, void*, std::size_t, off_t)>("pread")(fd, to, count, offset);
}

ssize_t pread64(int fd, void* to, std::size_t count, off_t offset) {
  grow_once(fd);
  return pread_fails()
             ? -1
             : next<ssize_t (*)(int, void*, std::size_t, off_t)>("pread64")(fd, to, count, offset);
}

ssize_t pwrite(int fd, const void* from, std::size_t count, off_t offset) {
  return pwrite_fails() ? -1
                        : next<ssize_t (*)(int, const void*, std::size_t, off_t)>("pwrite")(
                              fd, from, count, offset);
}

ssize_t pwrite64(int fd, const void* from, std::size_t count, off_t offset) {
  return pwrite_fails() ? -1
                        : next<ssize_t (*)(int, const void*, std::size_t, off_t)>("pwrite64")(
                              fd, from, count, offset);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  return fallocate_refused()
             ? -1
             : next<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off_t offset, off_t length) {
  return fallocate_refused()
             ? -1
             : next<int (*)(int, int, off_t, off_t)>("fallocate64")(fd, mode, offset, length);
}

}  // extern "C"
