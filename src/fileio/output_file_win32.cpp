// rand_s, the C library's door to the system's random source.
#define _CRT_RAND_S
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/fail.h"
#include "fileio/os_file.h"
#include "fileio/output_file.h"

namespace {

// Nonzero while an output is put in place: the console handler waits until it is whole.
volatile LONG holding = 0;

// Ctrl-C, Ctrl-Break and closing the console window end the process; the temporary file goes
// first. The handler runs on a thread of its own and then lets the default handling end the
// process.
BOOL WINAPI remove_on_console_end(DWORD) {
  while (InterlockedCompareExchange(&holding, 0, 0) != 0) {
    Sleep(1);
  }
  remove_pending_files();
  return FALSE;
}

void prepare_console_handler() {
  static bool installed = false;
  if (!installed) {
    installed = SetConsoleCtrlHandler(remove_on_console_end, TRUE) != 0;
  }
}

HANDLE open_query_handle(const char* path) {
  return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

bool file_information(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
}

// More than one name for the same file: replacing one would leave the others with the old
// bytes.
bool has_other_links(const char* path) {
  const HANDLE handle = open_query_handle(path);
  BY_HANDLE_FILE_INFORMATION info{};
  const bool more = file_information(handle, info) && info.nNumberOfLinks > 1;
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
  }
  return more;
}

// Whether standard output writes to this very file: the console text would mix with the image.
bool is_standard_output(const char* path) {
  const HANDLE handle = open_query_handle(path);
  BY_HANDLE_FILE_INFORMATION file{};
  BY_HANDLE_FILE_INFORMATION out{};
  const bool same =
      file_information(handle, file) && file_information(GetStdHandle(STD_OUTPUT_HANDLE), out) &&
      file.dwVolumeSerialNumber == out.dwVolumeSerialNumber &&
      file.nFileIndexHigh == out.nFileIndexHigh && file.nFileIndexLow == out.nFileIndexLow;
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
  }
  return same;
}

// A short name from the system's random source beside the target, so that a target path close
// to MAX_PATH still leaves room for it; the exclusive create catches a clash. The file may be
// deleted while it is open, so that the failure ending and the console handler can remove it
// before the process ends. With `delete_on_close` it has no lasting name at all: the system
// removes it when it is closed, however the process ends.
int create_beside(const std::string& directory, OutputFile& file, bool delete_on_close) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned int bits = 0;
    if (rand_s(&bits) != 0) {
      bits = GetCurrentProcessId() ^ static_cast<unsigned int>(GetTickCount64()) ^
             (static_cast<unsigned int>(attempt) * 0x9E3779B9u);
    }
    char stem[16];
    std::snprintf(stem, sizeof stem, "~vl%08x.tmp", bits);
    const std::string name = directory + stem;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (delete_on_close ? FILE_FLAG_DELETE_ON_CLOSE : 0);
    const HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
      if (fd < 0) {
        CloseHandle(handle);
        DeleteFileA(name.c_str());
        return -1;
      }
      if (!delete_on_close) {
        file.temporary = name;
        file.pending_slot = add_pending_file(-1, name.c_str());
      }
      return fd;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) {
      return -1;
    }
  }
  return -1;
}

// A file in the user's temporary directory that the system deletes when it is closed.
int create_elsewhere() {
  char directory[MAX_PATH + 1];
  char name[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof directory, directory);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(directory, "vl", 0, name) == 0) {
    return -1;
  }
  return _open(name, _O_RDWR | _O_TRUNC | _O_BINARY | _O_TEMPORARY);
}

// The full form of a path: ReplaceFile needs the directory of each file, and does not find
// it in every form a user may type (a bare name, say).
std::string full_path(const std::string& path) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return length > 0 && length < sizeof full ? std::string(full, length) : path;
}

// The reason to refuse a target that only a rename may replace, or nullptr.
const char* rename_refusal(const char* path, const StatBuf& st) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return "a symbolic link";
  }
  if (!is_regular(st)) {
    return "a FIFO, device or socket, not a regular file";
  }
  return has_other_links(path)
             ? "a file with other names (hard links), which would keep the old bytes"
             : nullptr;
}

}  // namespace

namespace output_platform {

OutputOutcome open_target(const char* path, OutputFile& file) {
  prepare_console_handler();
  StatBuf st{};
  if (path[0] == '\0') {
    return OutputOutcome::cannot_open;
  }
  const bool exists = stat_path(path, &st) == 0;
  if ((!exists && errno != ENOENT) || (exists && is_directory(st))) {
    errno = exists ? EISDIR : errno;
    return OutputOutcome::cannot_open;
  }
  const std::string directory = directory_prefix(path);
  if (directory.size() == file.path.size()) {
    return OutputOutcome::cannot_open;
  }
  const char* refusal = exists ? rename_refusal(path, st) : nullptr;
  if (file.rename_only && refusal != nullptr) {
    file.refusal = refusal;
    errno = 0;
    return OutputOutcome::cannot_open;
  }
  file.existed = exists;
  if (exists && !is_regular(st)) {
    // NUL, a console or a pipe: the image is made elsewhere and written into it in order.
    file.target_fd = _open(path, _O_WRONLY | _O_BINARY);
    file.fd = file.target_fd >= 0 ? create_elsewhere() : -1;
    return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
  }
  // A file the user may not write (the read-only attribute) stays refused.
  if (exists && _access(path, 2) != 0) {
    return OutputOutcome::cannot_open;
  }
  if (exists && is_standard_output(path)) {
    file.refusal = "the file standard output writes to";
    return OutputOutcome::cannot_open;
  }
  file.target = full_path(path);
  if (refusal == nullptr) {
    file.finish = OutputFinish::rename;
    file.fd = create_beside(directory, file, false);
    if (file.fd >= 0 || !exists || file.rename_only) {
      return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
    }
  }
  file.finish = OutputFinish::copy;
  file.target_fd = _open(path, _O_WRONLY | _O_BINARY);
  if (file.target_fd < 0) {
    return OutputOutcome::cannot_open;
  }
  file.fd = create_beside(directory, file, true);
  if (file.fd < 0) {
    file.fd = create_elsewhere();
  }
  return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
}

// ReplaceFile keeps the replaced file's attributes and security descriptor.
bool take_attributes(const OutputFile&) {
  return true;
}

// The temporary file has its name from the start.
bool name_temporary(OutputFile&) {
  return true;
}

bool target_still_named(const OutputFile&) {
  return true;
}

// ReplaceFile can keep the old file under a second name; a new file gets the directory's
// defaults, and a file that appeared at its name meanwhile stays.
int rename_temporary(OutputFile& file, bool keep_old) {
  const std::string from = full_path(file.temporary);
  if (keep_old && file.existed) {
    unsigned int bits = 0;
    (void)rand_s(&bits);
    char stem[16];
    std::snprintf(stem, sizeof stem, "~vb%08x.tmp", bits);
    file.backup = directory_prefix(file.target) + stem;
  }
  const bool moved = file.existed
                         ? ReplaceFileA(file.target.c_str(), from.c_str(),
                                        file.backup.empty() ? nullptr : file.backup.c_str(),
                                        REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                         : MoveFileExA(from.c_str(), file.target.c_str(), 0) != 0;
  if (moved) {
    return 0;
  }
  file.backup.clear();
  const DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : -1;
}

// ReplaceFile cannot replace a file that another program holds open without delete sharing;
// the file can still be written, as a plain write would.
bool rename_refused_but_writable(int error) {
  const DWORD code = static_cast<DWORD>(error);
  return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
         code == ERROR_UNABLE_TO_REMOVE_REPLACED || code == ERROR_LOCK_VIOLATION;
}

bool copy_into_target(OutputFile& file, int from) {
  const bool regular = !file.target.empty();
  if (file.target_fd < 0) {
    file.target_fd = _open(file.path.c_str(), _O_WRONLY | _O_BINARY);
  }
  if (file.target_fd < 0 ||
      (regular &&
       (_chsize_s(file.target_fd, 0) != 0 || _lseeki64(file.target_fd, 0, SEEK_SET) != 0)) ||
      !copy_from_start(from, file.target_fd)) {
    return false;
  }
  const int target = file.target_fd;
  file.target_fd = -1;
  return _close(target) == 0;
}

int open_temporary(const OutputFile& file) {
  return _open(full_path(file.temporary).c_str(), _O_RDONLY | _O_BINARY);
}

void rename_back(OutputFile& file) {
  MoveFileExA(file.backup.c_str(), file.target.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void remove_placed(OutputFile& file) {
  DeleteFileA(file.target.c_str());
}

void remove_name(const OutputFile&, const std::string& name) {
  DeleteFileA(name.c_str());
}

}  // namespace output_platform

bool output_is_file(const OutputFile& file, int fd) {
  if (file.target_fd >= 0) {
    return same_file(file.target_fd, fd);
  }
  if (!file.existed) {
    return false;
  }
  const int probe = _open(file.target.c_str(), _O_RDONLY | _O_BINARY);
  const bool same = probe >= 0 && same_file(probe, fd);
  if (probe >= 0) {
    _close(probe);
  }
  return same;
}

void output_platform::hold_all_signals(bool hold) {
  prepare_console_handler();
  InterlockedExchange(&holding, hold ? 1 : 0);
}
