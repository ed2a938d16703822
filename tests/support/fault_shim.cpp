// Preloaded into velmora by the fault tests (LD_PRELOAD) to make calls fail that no file system
// here makes fail on demand. Each fault is off unless its variable is set in the environment:
//   VELMORA_SHIM_MALLOC_LIMIT=N  every malloc of N bytes or more returns null;
//   VELMORA_SHIM_FAIL_CLOSE=1    closing a regular file open for writing reports EIO (the file
//                                is closed all the same, as after a failed write-back);
//   VELMORA_SHIM_CHANGE_REREAD=1 the first read of a file after it was rewound to its start
//                                gives its first byte changed, as if the file were changed
//                                between two readings.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>

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
  using CloseFunction = int (*)(int);
  static const auto real_close = reinterpret_cast<CloseFunction>(dlsym(RTLD_NEXT, "close"));
  struct stat st {};
  const int flags = fcntl(fd, F_GETFL);
  const bool written_file =
      flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const int result = real_close(fd);
  if (result == 0 && written_file && std::getenv("VELMORA_SHIM_FAIL_CLOSE") != nullptr) {
    errno = EIO;
    return -1;
  }
  return result;
}

namespace {
int rewound_fd = -1;
}

off_t lseek(int fd, off_t offset, int whence) {
  using LseekFunction = off_t (*)(int, off_t, int);
  static const auto real_lseek = reinterpret_cast<LseekFunction>(dlsym(RTLD_NEXT, "lseek"));
  if (offset == 0 && whence == SEEK_SET) {
    rewound_fd = fd;
  }
  return real_lseek(fd, offset, whence);
}

ssize_t read(int fd, void* to, std::size_t count) {
  using ReadFunction = ssize_t (*)(int, void*, std::size_t);
  static const auto real_read = reinterpret_cast<ReadFunction>(dlsym(RTLD_NEXT, "read"));
  const ssize_t got = real_read(fd, to, count);
  if (fd == rewound_fd && got > 0 && std::getenv("VELMORA_SHIM_CHANGE_REREAD") != nullptr) {
    static_cast<unsigned char*>(to)[0] ^= 1u;
  }
  if (fd == rewound_fd) {
    rewound_fd = -1;
  }
  return got;
}

}  // extern "C"
