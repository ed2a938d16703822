// Preloaded into velmora by the fault tests (LD_PRELOAD) to make calls fail that no file system
// here makes fail on demand. Each fault is off unless its variable is set in the environment:
//   VELMORA_SHIM_MALLOC_LIMIT=N  every malloc of N bytes or more returns null;
//   VELMORA_SHIM_FAIL_CLOSE=1    closing a regular file open for writing reports EIO (the file
//                                is closed all the same, as after a failed write-back).
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

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

}  // extern "C"
