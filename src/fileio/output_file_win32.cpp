#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "common/fail.h"
#include "fileio/os_file.h"
#include "fileio/output_file.h"
#include "fileio/output_platform.h"

namespace {

// Ctrl-C, Ctrl-Break and closing the console window end the process; the temporary file goes
// first. The handler runs on a thread of its own and then lets the default handling end the
// process.
BOOL WINAPI remove_on_console_end(DWORD) {
  remove_pending_file();
  return FALSE;
}

void prepare_console_handler() {
  static bool installed = false;
  if (!installed) {
    installed = SetConsoleCtrlHandler(remove_on_console_end, TRUE) != 0;
  }
}

// More than one name for the same file: replacing one would leave the others with the old
// bytes.
bool has_other_links(const char* path) {
  const HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool more = GetFileInformationByHandle(handle, &info) && info.nNumberOfLinks > 1;
  CloseHandle(handle);
  return more;
}

// A short name beside the target, so that a target path close to MAX_PATH still leaves room
// for it; the exclusive create catches a clash. The file may be deleted while it is open, so
// that the failure ending and the console handler can remove it before the process ends.
int create_temporary(const std::string& directory, std::string& name) {
  const DWORD seed = GetCurrentProcessId() ^ static_cast<DWORD>(GetTickCount64());
  for (DWORD attempt = 0; attempt < 100; ++attempt) {
    char stem[16];
    std::snprintf(stem, sizeof stem, "~vl%08lx.tmp",
                  static_cast<unsigned long>((seed + attempt * 0x9E3779B9u) & 0xFFFFFFFFu));
    name = directory + stem;
    const HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
      if (fd < 0) {
        CloseHandle(handle);
        DeleteFileA(name.c_str());
        break;
      }
      set_pending_file(name.c_str());
      return fd;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  name.clear();
  return -1;
}

// The full form of a path: ReplaceFile needs the directory of each file, and does not find
// it in every form a user may type (a bare name, say).
std::string full_path(const std::string& path) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return length > 0 && length < sizeof full ? std::string(full, length) : path;
}

OutputOutcome open_in_place(const char* path, OutputFile& file) {
  file.route = OutputRoute::in_place;
  file.fd = _open(path, _O_WRONLY | _O_BINARY);
  return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
}

// ReplaceFile cannot replace a file that another program holds open without delete sharing;
// the file can still be written, as a plain write would.
bool replace_refused_but_writable(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

OutputOutcome replace_target(OutputFile& file) {
  const bool closed = close_fd(file.fd) == 0;
  file.fd = -1;
  if (!closed) {
    return OutputOutcome::cannot_write;
  }
  const std::string from_path = full_path(file.temporary);
  const std::string to_path = full_path(file.target);
  const char* from = from_path.c_str();
  const char* to = to_path.c_str();
  // ReplaceFile keeps the replaced file's attributes and security descriptor; a new file
  // gets the directory's defaults.
  if (file.existed
          ? ReplaceFileA(to, from, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
          : MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0) {
    clear_pending_file();
    return OutputOutcome::ok;
  }
  if (!file.existed || !replace_refused_but_writable(GetLastError())) {
    return OutputOutcome::cannot_write;
  }
  const int source = _open(from, _O_RDONLY | _O_BINARY);
  const int target = source >= 0 ? _open(to, _O_WRONLY | _O_BINARY) : -1;
  const bool copied = target >= 0 && copy_contents(source, target);
  const bool copy_closed = target >= 0 && close_fd(target) == 0;
  if (source >= 0) {
    close_fd(source);
  }
  return copied && copy_closed ? OutputOutcome::ok : OutputOutcome::cannot_write;
}

// A file in the user's temporary directory that the system deletes when it is closed.
int create_stage() {
  char directory[MAX_PATH + 1];
  char name[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof directory, directory);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(directory, "vl", 0, name) == 0) {
    return -1;
  }
  return _open(name, _O_RDWR | _O_TRUNC | _O_BINARY | _O_TEMPORARY);
}

OutputOutcome open_output_file(const char* path, OutputFile& file) {
  file = OutputFile{};
  file.path = path;
  prepare_console_handler();
  StatBuf st{};
  if (path[0] == '\0') {
    return OutputOutcome::cannot_open;
  }
  const bool exists = stat_path(path, &st) == 0;
  if ((!exists && errno != ENOENT) || (exists && is_directory(st))) {
    return OutputOutcome::cannot_open;
  }
  if (exists && !is_regular(st)) {
    // NUL, a console or a pipe: written in order through the name as given.
    file.route = OutputRoute::stream;
    file.fd = _open(path, _O_WRONLY | _O_BINARY);
    return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
  }
  // A file the user may not write (the read-only attribute) stays refused.
  if (exists && _access(path, 2) != 0) {
    return OutputOutcome::cannot_open;
  }
  file.target = path;
  const std::string directory = directory_prefix(file.target);
  if (directory.size() == file.target.size()) {
    return OutputOutcome::cannot_open;
  }
  if (exists && has_other_links(path)) {
    return open_in_place(path, file);
  }
  file.route = OutputRoute::replace;
  file.existed = exists;
  file.fd = create_temporary(directory, file.temporary);
  if (file.fd < 0) {
    return exists ? open_in_place(path, file) : OutputOutcome::cannot_open;
  }
  return OutputOutcome::ok;
}
