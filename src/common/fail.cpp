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

constexpr int pending_slots = 4;
// Long enough for any path the platforms open: PATH_MAX on Linux is 4096.
char pending_paths[pending_slots][4352];
// Whether a slot holds a file to remove. A slot is marked only once its path is whole, and
// unmarked before its path changes, so a signal handler never reads a half-written path.
volatile std::sig_atomic_t pending_marks[pending_slots] = {};

}  // namespace

int add_pending_file(const char* path) {
  const std::size_t length = std::strlen(path);
  for (int slot = 0; slot < pending_slots; ++slot) {
    if (pending_marks[slot] == 0 && length < sizeof pending_paths[slot]) {
      std::memcpy(pending_paths[slot], path, length + 1);
      pending_marks[slot] = 1;
      return slot;
    }
  }
  return -1;
}

void drop_pending_file(int slot) {
  if (slot >= 0 && slot < pending_slots) {
    pending_marks[slot] = 0;
  }
}

void remove_pending_files() {
  for (int slot = 0; slot < pending_slots; ++slot) {
    if (pending_marks[slot] != 0) {
      pending_marks[slot] = 0;
#ifdef _WIN32
      DeleteFileA(pending_paths[slot]);
#else
      unlink(pending_paths[slot]);
#endif
    }
  }
}

void fail_and_wait(int status, const char* format, ...) {
  remove_pending_files();
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  // The message must be on the console before the wait begins.
  std::fflush(stdout);
  (void)std::getchar();
  std::exit(status);
}
