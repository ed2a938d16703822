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
#include "fileio/output_platform.h"

namespace {

// Ctrl-C, Ctrl-Break and closing the console window end the process; the temporary file goes
// first. The handler runs on a thread of its own and then lets the default handling end the
// process.
BOOL WINAPI remove_on_console_end(DWORD) {
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

void close_if_open(int& fd) {
  if (fd >= 0) {
    _close(fd);
    fd = -1;
  }
}

void forget_temporary_name(OutputFile& file) {
  drop_pending_file(file.pending_slot);
  file.pending_slot = -1;
  file.temporary.clear();
}

// Replaces the bytes of the target, open as target_fd, with those of `from`.
bool overwrite_target(int target_fd, int from, bool regular) {
  if (regular && (_chsize_s(target_fd, 0) != 0 || _lseeki64(target_fd, 0, SEEK_SET) != 0)) {
    return false;
  }
  return copy_from_start(from, target_fd);
}

// The copy into the target; with `keep_old`, a regular target's old bytes are kept first.
OutputOutcome copy_into_target(OutputFile& file, int from, bool keep_old) {
  const bool regular = !file.target.empty();
  if (file.target_fd < 0) {
    file.target_fd = _open(file.path.c_str(), _O_WRONLY | _O_BINARY);
  }
  if (file.target_fd < 0) {
    return OutputOutcome::cannot_write;
  }
  if (keep_old && regular) {
    const int reader = _open(file.path.c_str(), _O_RDONLY | _O_BINARY);
    file.saved_fd = reader >= 0 ? create_elsewhere() : -1;
    const bool saved = file.saved_fd >= 0 && copy_from_start(reader, file.saved_fd);
    if (reader >= 0) {
      _close(reader);
    }
    if (!saved) {
      close_if_open(file.saved_fd);
      return OutputOutcome::cannot_write;
    }
  }
  file.placed = true;
  if (!overwrite_target(file.target_fd, from, regular)) {
    return OutputOutcome::cannot_write;
  }
  if (!keep_old) {
    const int target = file.target_fd;
    file.target_fd = -1;
    if (_close(target) != 0) {
      return OutputOutcome::cannot_write;
    }
  }
  return OutputOutcome::ok;
}

// ReplaceFile cannot replace a file that another program holds open without delete sharing;
// the file can still be written, as a plain write would.
bool replace_refused_but_writable(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_LOCK_VIOLATION;
}

OutputOutcome rename_into_place(OutputFile& file, bool keep_old) {
  const int fd = file.fd;
  file.fd = -1;
  if (_close(fd) != 0) {
    return OutputOutcome::cannot_write;
  }
  const std::string from = full_path(file.temporary);
  if (keep_old && file.existed) {
    unsigned int bits = 0;
    (void)rand_s(&bits);
    char stem[16];
    std::snprintf(stem, sizeof stem, "~vb%08x.tmp", bits);
    file.backup = directory_prefix(file.target) + stem;
  }
  // ReplaceFile keeps the replaced file's attributes and security descriptor, and can keep the
  // old file under a second name; a new file gets the directory's defaults, and a file that
  // appeared at its name meanwhile stays.
  const bool moved = file.existed
                         ? ReplaceFileA(file.target.c_str(), from.c_str(),
                                        file.backup.empty() ? nullptr : file.backup.c_str(),
                                        REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                         : MoveFileExA(from.c_str(), file.target.c_str(), 0) != 0;
  if (moved) {
    forget_temporary_name(file);
    file.placed = true;
    return OutputOutcome::ok;
  }
  file.backup.clear();
  if (!file.existed || !replace_refused_but_writable(GetLastError())) {
    return OutputOutcome::cannot_write;
  }
  const int source = _open(from.c_str(), _O_RDONLY | _O_BINARY);
  if (source < 0) {
    return OutputOutcome::cannot_write;
  }
  const OutputOutcome outcome = copy_into_target(file, source, keep_old);
  _close(source);
  return outcome;
}

}  // namespace

OutputOutcome open_output_file(const char* path, OutputFile& file, bool wait_for_reader) {
  (void)wait_for_reader;  // a Windows pipe is opened without waiting for its reader
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
  const std::string directory = directory_prefix(path);
  if (directory.size() == file.path.size()) {
    return OutputOutcome::cannot_open;
  }
  if (exists && !is_regular(st)) {
    // NUL, a console or a pipe: the image is made elsewhere and written into it in order.
    file.target_fd = _open(path, _O_WRONLY | _O_BINARY);
    file.fd = file.target_fd >= 0 ? create_elsewhere() : -1;
    return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
  }
  // A file the user may not write (the read-only attribute) stays refused.
  if (exists && (_access(path, 2) != 0 || is_standard_output(path))) {
    return OutputOutcome::cannot_open;
  }
  file.target = full_path(path);
  file.existed = exists;
  if (!exists || !has_other_links(path)) {
    file.finish = OutputFinish::rename;
    file.fd = create_beside(directory, file, false);
    if (file.fd >= 0) {
      return OutputOutcome::ok;
    }
    if (!exists) {
      return OutputOutcome::cannot_open;
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

OutputOutcome put_output_in_place(OutputFile& file, bool keep_old) {
  if (file.fd < 0) {
    return OutputOutcome::cannot_write;
  }
  if (file.finish == OutputFinish::rename) {
    return rename_into_place(file, keep_old);
  }
  return copy_into_target(file, file.fd, keep_old);
}

void restore_output_file(OutputFile& file) {
  if (file.placed) {
    if (!file.backup.empty()) {
      MoveFileExA(file.backup.c_str(), file.target.c_str(), MOVEFILE_REPLACE_EXISTING);
      file.backup.clear();
    } else if (file.saved_fd >= 0 && file.target_fd >= 0) {
      overwrite_target(file.target_fd, file.saved_fd, true);
    } else if (file.finish == OutputFinish::rename && !file.existed) {
      DeleteFileA(file.target.c_str());
    }
    file.placed = false;
  }
  discard_output_file(file);
}

void settle_output_file(OutputFile& file) {
  if (!file.backup.empty()) {
    DeleteFileA(file.backup.c_str());
    file.backup.clear();
  }
  file.placed = false;
  discard_output_file(file);
}

void discard_output_file(OutputFile& file) {
  close_if_open(file.fd);
  if (!file.temporary.empty()) {
    DeleteFileA(file.temporary.c_str());
  }
  forget_temporary_name(file);
  close_if_open(file.target_fd);
  close_if_open(file.saved_fd);
}
