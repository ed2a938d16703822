// What Windows supplies: the calls of os_file.h and the output_platform routine.
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
#include <utility>

#include "common/fail.h"
#include "fileio/os_file.h"
#include "fileio/output_file.h"

namespace {

// A handle with no access rights, which neither reads nor writes the file: for its type and
// identity.
HANDLE open_query_handle(const char* path) {
  return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

void close_handle(HANDLE handle) {
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
  }
}

bool file_information(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
}

// The C library gives no inode numbers on Windows; the volume and the file index do the same.
bool same_handles(HANDLE handle_a, HANDLE handle_b) {
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return file_information(handle_a, a) && file_information(handle_b, b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool path_is(const char* path, HANDLE other) {
  const HANDLE handle = open_query_handle(path);
  const bool same = same_handles(handle, other);
  close_handle(handle);
  return same;
}

HANDLE fd_handle(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// The part of `path` up to and including its last separator, so that a name appended to it
// lands in the same directory. A drive's colon ends it too: "C:name" is relative to drive C's
// current directory.
std::string directory_prefix(const std::string& path) {
  return path.substr(0, path.find_last_of("/\\:") + 1);
}

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

// A short name from the system's random source, "~v" and `kind` first, so that a target path
// close to MAX_PATH still leaves room for it.
std::string random_stem(const char* kind, unsigned int salt) {
  unsigned int bits = 0;
  if (rand_s(&bits) != 0) {
    bits =
        GetCurrentProcessId() ^ static_cast<unsigned int>(GetTickCount64()) ^ (salt * 0x9E3779B9u);
  }
  char stem[16];
  std::snprintf(stem, sizeof stem, "~v%s%08x.tmp", kind, bits);
  return stem;
}

// A random name beside the target; the exclusive create catches a clash. The file may be
// deleted while it is open, so that the failure ending and the console handler can remove it
// before the process ends. With `delete_on_close` it has no lasting name at all: the system
// removes it when it is closed, however the process ends.
int create_beside(const std::string& directory, OutputFile& file, bool delete_on_close) {
  for (unsigned int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = directory + random_stem("l", attempt);
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
  if (!S_ISREG(st.st_mode)) {
    return "a FIFO, device or socket, not a regular file";
  }
  const HANDLE handle = open_query_handle(path);
  BY_HANDLE_FILE_INFORMATION info{};
  const bool other_links = file_information(handle, info) && info.nNumberOfLinks > 1;
  close_handle(handle);
  return other_links ? "a file with other names (hard links), which would keep the old bytes"
                     : nullptr;
}

}  // namespace

// The C library's stat knows files and directories only. A device (NUL, CON, COM1) or a named
// pipe is recognised from the type of a query handle.
int stat_path(const char* path, StatBuf* st) {
  if (_stat64(path, st) == 0) {
    return 0;
  }
  const int stat_error = errno;
  const HANDLE handle = open_query_handle(path);
  const DWORD type = handle != INVALID_HANDLE_VALUE ? GetFileType(handle) : FILE_TYPE_UNKNOWN;
  close_handle(handle);
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
    *st = StatBuf{};
    st->st_mode = type == FILE_TYPE_CHAR ? _S_IFCHR : _S_IFIFO;
    return 0;
  }
  errno = stat_error;
  return -1;
}

int stat_fd(int fd, StatBuf* st) {
  return _fstat64(fd, st);
}

int open_for_reading(const char* path) {
  return _open(path, _O_RDONLY | _O_BINARY);
}

int close_fd(int fd) {
  return _close(fd);
}

// Windows has no pread or pwrite on descriptors; no descriptor is used by two threads, so
// moving the position first is enough.
long long move_some_at(int fd, std::int64_t offset, std::uint8_t* to, const std::uint8_t* from,
                       std::int64_t count) {
  if (offset >= 0 && _lseeki64(fd, offset, SEEK_SET) < 0) {
    return -1;
  }
  const auto size = static_cast<unsigned>(count);
  return to != nullptr ? _read(fd, to, size) : _write(fd, from, size);
}

bool reserve_length(int, std::int64_t) {
  return true;
}

void reserve_standard_descriptors() {}

namespace output_platform {

OutputOutcome open_target(const char* path, OutputFile& file) {
  prepare_console_handler();
  const std::string directory = directory_prefix(path);
  // An empty path, or one that ends in a separator, names no file.
  if (directory.size() == file.path.size()) {
    return OutputOutcome::cannot_open;
  }
  StatBuf st{};
  const bool exists = stat_path(path, &st) == 0;
  if ((!exists && errno != ENOENT) || (exists && S_ISDIR(st.st_mode))) {
    errno = exists ? EISDIR : errno;
    return OutputOutcome::cannot_open;
  }
  const char* refusal = exists ? rename_refusal(path, st) : nullptr;
  if (file.rename_only && refusal != nullptr) {
    file.refusal = refusal;
    return OutputOutcome::cannot_open;
  }
  file.existed = exists;
  const bool regular = !exists || S_ISREG(st.st_mode);
  // A file the user may not write (the read-only attribute) stays refused.
  if (regular && exists && _access(path, 2) != 0) {
    return OutputOutcome::cannot_open;
  }
  if (regular && exists && path_is(path, GetStdHandle(STD_OUTPUT_HANDLE))) {
    file.refusal = "the file standard output writes to";
    return OutputOutcome::cannot_open;
  }
  file.name = regular ? full_path(path) : std::string();
  if (regular && refusal == nullptr) {
    file.fd = create_beside(directory, file, false);
    file.by_rename = file.fd >= 0;
    if (file.fd >= 0 || !exists || file.rename_only) {
      return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
    }
  }
  // The copy, and for NUL, a console or a pipe the image, is made in a file the system deletes
  // when it is closed, beside the target or else in the user's temporary directory, and written
  // into the target in order.
  file.target_fd = _open(path, _O_WRONLY | _O_BINARY);
  file.fd = file.target_fd >= 0 && regular ? create_beside(directory, file, true) : -1;
  char elsewhere[MAX_PATH + 1];
  const DWORD length =
      file.target_fd >= 0 && file.fd < 0 ? GetTempPathA(sizeof elsewhere, elsewhere) : 0;
  if (length > 0 && length <= MAX_PATH) {
    file.fd = create_beside(elsewhere, file, true);
  }
  return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
}

// The temporary file has its name from the start. ReplaceFile keeps the replaced file's
// attributes and security descriptor, and can keep the old file under a second name; it
// cannot replace a file that another program holds open without delete sharing, which can
// still be written, as a plain write would. A new file gets the directory's defaults, and a
// file that appeared at its name meanwhile stays.
Renamed rename_temporary(OutputFile& file, bool keep_old) {
  if (_close(std::exchange(file.fd, -1)) != 0) {
    return Renamed::failed;
  }
  const std::string from = full_path(file.temporary);
  if (keep_old && file.existed) {
    file.backup = directory_prefix(file.name) + random_stem("b", 0);
  }
  const bool moved = file.existed
                         ? ReplaceFileA(file.name.c_str(), from.c_str(),
                                        file.backup.empty() ? nullptr : file.backup.c_str(),
                                        REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                         : MoveFileExA(from.c_str(), file.name.c_str(), 0) != 0;
  if (moved) {
    return Renamed::done;
  }
  file.backup.clear();
  const DWORD error = GetLastError();
  return file.existed && (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                          error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_LOCK_VIOLATION)
             ? Renamed::copy_instead
             : Renamed::failed;
}

bool copy_into_target(OutputFile& file) {
  const bool regular = !file.name.empty();
  if (file.target_fd < 0) {
    file.target_fd = _open(file.path.c_str(), _O_WRONLY | _O_BINARY);
  }
  return file.target_fd >= 0 &&
         (!regular ||
          (_chsize_s(file.target_fd, 0) == 0 && _lseeki64(file.target_fd, 0, SEEK_SET) == 0)) &&
         copy_from_start(file.fd, file.target_fd);
}

int open_temporary(const OutputFile& file) {
  return _open(full_path(file.temporary).c_str(), _O_RDONLY | _O_BINARY);
}

void undo_rename(OutputFile& file) {
  if (!file.backup.empty()) {
    MoveFileExA(file.backup.c_str(), file.name.c_str(), MOVEFILE_REPLACE_EXISTING);
  } else if (!file.existed) {
    DeleteFileA(file.name.c_str());
  }
}

void remove_name(const OutputFile&, const std::string& name) {
  DeleteFileA(name.c_str());
}

}  // namespace output_platform

bool output_is_file(const OutputFile& file, int fd) {
  return file.target_fd >= 0 ? same_handles(fd_handle(file.target_fd), fd_handle(fd))
                             : file.existed && path_is(file.name.c_str(), fd_handle(fd));
}

void output_platform::hold_all_signals(bool hold) {
  prepare_console_handler();
  InterlockedExchange(&holding, hold ? 1 : 0);
}
