#include "common/fail.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Long enough for any path the platforms open: PATH_MAX on Linux is 4096.
char pending_path[4352];
// Whether pending_path holds a file to remove; changed only while no signal handler could be
// reading a half-written path (the flag is cleared before the path changes).
volatile std::sig_atomic_t pending_armed = 0;

}  // namespace

bool set_pending_file(const char* path) {
  pending_armed = 0;
  const std::size_t length = std::strlen(path);
  if (length >= sizeof pending_path) {
    return false;
  }
  std::memcpy(pending_path, path, length + 1);
  pending_armed = 1;
  return true;
}

void clear_pending_file() {
  pending_armed = 0;
}

void remove_pending_file() {
  if (pending_armed != 0) {
    pending_armed = 0;
#ifdef _WIN32
    DeleteFileA(pending_path);
#else
    unlink(pending_path);
#endif
  }
}

void fail_and_wait(int status, const char* format, ...) {
  remove_pending_file();
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  // The message must be on the console before the wait begins.
  std::fflush(stdout);
  (void)std::getchar();
  std::exit(status);
}
