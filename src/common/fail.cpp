#include "common/fail.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr int pending_slots = 24;
// Long enough for any path the platforms open: PATH_MAX on Linux is 4096.
char pending_names[pending_slots][4352];
int pending_dirs[pending_slots];
bool pending_is_directory[pending_slots];
// Whether a slot holds a file to remove. A slot is marked only once its name is whole, and
// unmarked before its name changes, so a signal handler never reads a half-written name.
volatile std::sig_atomic_t pending_marks[pending_slots] = {};

// Removes one pending name; false for a directory that is not empty yet.
bool remove_pending(int slot) {
#ifdef _WIN32
  if (pending_is_directory[slot]) {
    return RemoveDirectoryA(pending_names[slot]) != 0 || GetLastError() != ERROR_DIR_NOT_EMPTY;
  }
  DeleteFileA(pending_names[slot]);
  return true;
#else
  const int dir = pending_dirs[slot] >= 0 ? pending_dirs[slot] : AT_FDCWD;
  return unlinkat(dir, pending_names[slot], pending_is_directory[slot] ? AT_REMOVEDIR : 0) == 0 ||
         (errno != ENOTEMPTY && errno != EEXIST);
#endif
}

}  // namespace

int add_pending_file(int dir_fd, const char* name, bool directory) {
  const std::size_t length = std::strlen(name);
  for (int slot = 0; slot < pending_slots; ++slot) {
    if (pending_marks[slot] == 0 && length < sizeof pending_names[slot]) {
      std::memcpy(pending_names[slot], name, length + 1);
      pending_dirs[slot] = dir_fd;
      pending_is_directory[slot] = directory;
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
  // Files first; then each pass removes the directories emptied by the one before.
  for (int pass = 0; pass <= pending_slots; ++pass) {
    for (int slot = 0; slot < pending_slots; ++slot) {
      if (pending_marks[slot] != 0 && (pass > 0 || !pending_is_directory[slot]) &&
          remove_pending(slot)) {
        pending_marks[slot] = 0;
      }
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
  // One byte from standard input, or nothing at its end. No stream buffer is involved, so the
  // bytes after it stay for whoever reads standard input next.
  char key = 0;
#ifdef _WIN32
  (void)_read(0, &key, 1);
#else
  while (read(0, &key, 1) < 0 && errno == EINTR) {
  }
#endif
  std::exit(status);
}
