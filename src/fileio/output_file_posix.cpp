#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif

#include "common/fail.h"
#include "fileio/os_file.h"
#include "fileio/output_file.h"
#include "fileio/output_platform.h"

namespace {

// Ends the process by the signal that arrived, as it would have ended without this handler,
// once the temporary file is gone. Only async-signal-safe calls.
extern "C" void remove_and_end(int signal_number) {
  remove_pending_files();
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void remove_on(int signal_number) {
  struct sigaction old {};
  // Only a signal that would end the process now gets the handler: one the parent chose to
  // ignore (nohup's SIGHUP) stays ignored, and one the program already handles (a test
  // harness's SIGALRM, a sanitizer's SIGSEGV) keeps its own handler.
  if (sigaction(signal_number, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) != 0 ||
      old.sa_handler != SIG_DFL) {
    return;
  }
  struct sigaction action {};
  action.sa_handler = remove_and_end;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

// Every signal whose default action ends the process removes the temporary file first. A file
// size limit makes write fail with EFBIG instead of killing the process, so that the run
// reports it.
void prepare_signals() {
  static bool prepared = false;
  if (prepared) {
    return;
  }
  prepared = true;
  std::signal(SIGXFSZ, SIG_IGN);
  for (const int signal_number :
       {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV,
        SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGSYS}) {
    remove_on(signal_number);
  }
#ifdef SIGPWR
  remove_on(SIGPWR);
#endif
#ifdef SIGSTKFLT
  remove_on(SIGSTKFLT);
#endif
#ifdef SIGRTMIN
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    remove_on(signal_number);
  }
#endif
}

// 64 bits from the system's random source, so that another user cannot guess the name.
std::uint64_t random_bits() {
  std::uint64_t bits = 0;
#if __has_include(<sys/random.h>)
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) {
    return bits;
  }
#endif
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    const ssize_t got = read(fd, &bits, sizeof bits);
    close(fd);
    if (got == static_cast<ssize_t>(sizeof bits)) {
      return bits;
    }
  }
  // No random source at all: a clash is then caught by O_EXCL and the next name is tried.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  static std::uint64_t counter = 0;
  return (static_cast<std::uint64_t>(now.tv_nsec) << 20) ^ static_cast<std::uint64_t>(getpid()) ^
         (++counter << 40);
}

std::string random_name() {
  char name[32];
  std::snprintf(name, sizeof name, ".velmora-%016llx",
                static_cast<unsigned long long>(random_bits()));
  return name;
}

constexpr int name_attempts = 100;

// A new file with a random name in `dir_fd`, recorded as pending before it exists so that no
// moment passes in which a signal would leave it. The mode is that of any new file: the umask
// or the directory's default access control list decides.
int create_named(int dir_fd, OutputFile& file) {
  for (int attempt = 0; attempt < name_attempts; ++attempt) {
    const std::string name = random_name();
    file.pending_slot = add_pending_file(dir_fd, name.c_str());
    const int fd =
        openat(dir_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file.temporary = name;
      return fd;
    }
    const int error = errno;
    drop_pending_file(file.pending_slot);
    file.pending_slot = -1;
    if (error != EEXIST) {
      errno = error;
      return -1;
    }
  }
  return -1;
}

std::string proc_fd_path(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// An unnamed file in `dir_fd` (Linux's O_TMPFILE), which no kind of ending can leave behind.
// With `nameable`, only where /proc can give it a name later. -1 where either is missing.
int create_unnamed(int dir_fd, bool nameable) {
#ifdef O_TMPFILE
  const int fd = openat(dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0 || !nameable) {
    return fd;
  }
  char link[64];
  if (readlink(proc_fd_path(fd).c_str(), link, sizeof link) > 0) {
    return fd;
  }
  close(fd);
#else
  (void)dir_fd;
  (void)nameable;
#endif
  return -1;
}

// The temporary file for a rename: in the target's directory, unnamed until it is whole where
// the system allows, else named.
int create_for_rename(OutputFile& file) {
  const int fd = create_unnamed(file.dir_fd, true);
  return fd >= 0 ? fd : create_named(file.dir_fd, file);
}

// The temporary file for a copy needs no name at all: an unnamed one, or a named one removed
// at once, in the target's directory; else one in the system's temporary directory.
int create_for_copy(OutputFile& file, bool beside) {
  if (beside) {
    int fd = create_unnamed(file.dir_fd, false);
    if (fd < 0) {
      fd = create_named(file.dir_fd, file);
      if (fd >= 0) {
        unlinkat(file.dir_fd, file.temporary.c_str(), 0);
        drop_pending_file(file.pending_slot);
        file.pending_slot = -1;
        file.temporary.clear();
      }
    }
    if (fd >= 0) {
      return fd;
    }
  }
  std::FILE* stage = std::tmpfile();
  if (stage == nullptr) {
    return -1;
  }
  const int fd = fcntl(fileno(stage), F_DUPFD_CLOEXEC, 3);
  std::fclose(stage);
  return fd;
}

void close_if_open(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` in `dir_fd` is still the file open as `fd`.
bool name_is(int dir_fd, const std::string& name, int fd) {
  struct stat by_name {};
  struct stat by_fd {};
  return fstatat(dir_fd, name.c_str(), &by_name, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(fd, &by_fd) == 0 && same_inode(by_name, by_fd);
}

// The names of a file's extended attributes, or false when they cannot be listed. A file
// system without them has none.
bool attribute_names(int fd, std::vector<std::string>& names) {
  names.clear();
  const ssize_t size = flistxattr(fd, nullptr, 0);
  if (size < 0) {
    return errno == ENOTSUP;
  }
  std::vector<char> list(static_cast<std::size_t>(size) + 1);
  const ssize_t got = flistxattr(fd, list.data(), list.size());
  if (got < 0) {
    return false;
  }
  for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
    names.emplace_back(list.data() + at);
    at += names.back().size() + 1;
  }
  return true;
}

bool attribute_value(int fd, const std::string& name, std::vector<char>& value) {
  const ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
  if (size < 0) {
    return false;
  }
  value.resize(static_cast<std::size_t>(size));
  const ssize_t got = fgetxattr(fd, name.c_str(), value.data(), value.size());
  if (got < 0) {
    return false;
  }
  value.resize(static_cast<std::size_t>(got));
  return true;
}

// Gives `to` exactly the extended attributes of `from`: the access control list
// (system.posix_acl_access), user.* and the rest. An attribute that is the same already is left
// alone, so that none needs a privilege it does not need.
bool copy_attributes(int from, int to) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!attribute_names(from, wanted) || !attribute_names(to, present)) {
    return false;
  }
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        fremovexattr(to, name.c_str()) != 0) {
      return false;
    }
  }
  std::vector<char> value;
  std::vector<char> current;
  for (const std::string& name : wanted) {
    if (!attribute_value(from, name, value)) {
      return false;
    }
    if (attribute_value(to, name, current) && current == value) {
      continue;
    }
    if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
      return false;
    }
  }
  return true;
}

// The temporary file takes on the target's owner, group, extended attributes and mode; false
// when any of them cannot be had (another owner, say), so that the target is copied into
// instead. The owner first, since a change of owner clears the set-user-ID bit and file
// capabilities; the mode last, since setting an access control list can clear set-group-ID.
bool take_attributes(const OutputFile& file) {
  struct stat old {};
  struct stat now {};
  if (fstat(file.target_fd, &old) != 0 || fstat(file.fd, &now) != 0) {
    return false;
  }
  if ((old.st_uid != now.st_uid || old.st_gid != now.st_gid) &&
      fchown(file.fd, old.st_uid, old.st_gid) != 0) {
    return false;
  }
  if (!copy_attributes(file.target_fd, file.fd) || fchmod(file.fd, old.st_mode & 07777) != 0) {
    return false;
  }
  return fstat(file.fd, &now) == 0 && now.st_mode == old.st_mode && now.st_uid == old.st_uid &&
         now.st_gid == old.st_gid;
}

// Gives the unnamed temporary file a random name beside the target, once it is whole.
bool name_temporary(OutputFile& file) {
  if (!file.temporary.empty()) {
    return true;
  }
  const std::string from = proc_fd_path(file.fd);
  for (int attempt = 0; attempt < name_attempts; ++attempt) {
    const std::string name = random_name();
    file.pending_slot = add_pending_file(file.dir_fd, name.c_str());
    if (linkat(AT_FDCWD, from.c_str(), file.dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      file.temporary = name;
      return true;
    }
    const int error = errno;
    drop_pending_file(file.pending_slot);
    file.pending_slot = -1;
    if (error != EEXIST) {
      return false;
    }
  }
  return false;
}

void forget_temporary_name(OutputFile& file) {
  drop_pending_file(file.pending_slot);
  file.pending_slot = -1;
  file.temporary.clear();
}

// Replaces the bytes of the target with those of `from`. A regular file is cut first and keeps
// its mode, which a write by another user than its owner can lose (set-user-ID, set-group-ID).
bool overwrite_target(int target_fd, int from) {
  struct stat before {};
  if (fstat(target_fd, &before) != 0) {
    return false;
  }
  const bool regular = S_ISREG(before.st_mode);
  if (regular && (ftruncate(target_fd, 0) != 0 || lseek(target_fd, 0, SEEK_SET) != 0)) {
    return false;
  }
  if (!copy_from_start(from, target_fd)) {
    return false;
  }
  struct stat after {};
  if (regular &&
      (fstat(target_fd, &after) != 0 || ((after.st_mode & 07777) != (before.st_mode & 07777) &&
                                         fchmod(target_fd, before.st_mode & 07777) != 0))) {
    return false;
  }
  return true;
}

// The copy: into the file open as target_fd, or, for a symbolic link to no file, into the
// file the system creates through the link now. With `keep_old`, a regular target's old bytes
// are kept first in an unnamed file, for restore_output_file.
OutputOutcome copy_into_target(OutputFile& file, int from, bool keep_old) {
  if (file.target_fd < 0 && file.create_target) {
    // O_EXCL would not follow the link: the file is looked for first, then created through it.
    file.target_fd = open(file.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (file.target_fd < 0 && errno == ENOENT) {
      file.target_fd = open(file.path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
      file.created = file.target_fd >= 0;  // restore removes it again
    }
  }
  if (file.target_fd < 0) {
    return OutputOutcome::cannot_write;
  }
  struct stat st {};
  if (keep_old && !file.created && fstat(file.target_fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // Where the target is open for writing only, its old bytes are read through a second open.
    const bool readable = (fcntl(file.target_fd, F_GETFL) & O_ACCMODE) == O_RDWR;
    const int reader = readable ? dup(file.target_fd)
                                : open(proc_fd_path(file.target_fd).c_str(), O_RDONLY | O_CLOEXEC);
    file.saved_fd = reader >= 0 ? create_for_copy(file, true) : -1;
    const bool saved = file.saved_fd >= 0 && copy_from_start(reader, file.saved_fd);
    if (reader >= 0) {
      close(reader);
    }
    if (!saved) {
      close_if_open(file.saved_fd);
      return OutputOutcome::cannot_write;
    }
  }
  file.placed = true;
  if (!overwrite_target(file.target_fd, from)) {
    return OutputOutcome::cannot_write;
  }
  if (!keep_old) {
    const int target = file.target_fd;
    file.target_fd = -1;
    if (close(target) != 0) {
      return OutputOutcome::cannot_write;
    }
  }
  return OutputOutcome::ok;
}

// Where the rename is refused though the file itself may be written: a mount point (EBUSY,
// EXDEV), another user's file in a sticky directory (EPERM, EACCES).
bool rename_refused_but_writable(int error) {
  return error == EBUSY || error == EXDEV || error == EPERM || error == EACCES;
}

// A rename that replaces nothing: a file that appeared at the name meanwhile stays.
int rename_new(int dir_fd, const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return -1;
  }
  // The file system cannot say "no replace": link, which never replaces, then unname.
  if (linkat(dir_fd, from, dir_fd, to, 0) != 0) {
    return -1;
  }
  return unlinkat(dir_fd, from, 0);
#else
  if (linkat(dir_fd, from, dir_fd, to, 0) != 0) {
    return -1;
  }
  return unlinkat(dir_fd, from, 0);
#endif
}

// The copy instead of a rename, from the temporary file that has a name by now.
OutputOutcome copy_from_temporary(OutputFile& file, bool keep_old) {
  const int from = openat(file.dir_fd, file.temporary.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) {
    return OutputOutcome::cannot_write;
  }
  const OutputOutcome outcome = copy_into_target(file, from, keep_old);
  close(from);
  unlinkat(file.dir_fd, file.temporary.c_str(), 0);
  forget_temporary_name(file);
  return outcome;
}

OutputOutcome rename_into_place(OutputFile& file, bool keep_old) {
  const bool existing = file.target_fd >= 0;
  if (existing && !take_attributes(file)) {
    return copy_into_target(file, file.fd, keep_old);
  }
  struct stat st {};
  if (!name_temporary(file) || fstat(file.fd, &st) != 0) {
    return OutputOutcome::cannot_write;
  }
  // A failed close can mean lost bytes: it is checked before the file takes the target's place.
  const int fd = file.fd;
  file.fd = -1;
  if (close(fd) != 0) {
    return OutputOutcome::cannot_write;
  }
  if (existing && !name_is(file.dir_fd, file.name, file.target_fd)) {
    // The name no longer leads to the file that was opened: that file gets the bytes.
    return copy_from_temporary(file, keep_old);
  }
  if (existing && keep_old) {
    const std::string backup = random_name();
    if (linkat(file.dir_fd, file.name.c_str(), file.dir_fd, backup.c_str(), 0) != 0) {
      return OutputOutcome::cannot_write;
    }
    file.backup = backup;
  }
  const int renamed =
      existing ? renameat(file.dir_fd, file.temporary.c_str(), file.dir_fd, file.name.c_str())
               : rename_new(file.dir_fd, file.temporary.c_str(), file.name.c_str());
  if (renamed != 0) {
    const int error = errno;
    if (!file.backup.empty()) {
      unlinkat(file.dir_fd, file.backup.c_str(), 0);
      file.backup.clear();
    }
    return existing && rename_refused_but_writable(error) ? copy_from_temporary(file, keep_old)
                                                          : OutputOutcome::cannot_write;
  }
  // The name is the target's now: nothing is left to remove.
  forget_temporary_name(file);
  file.placed = true;
  file.placed_inode = static_cast<std::int64_t>(st.st_ino);
  return OutputOutcome::ok;
}

}  // namespace

OutputOutcome open_output_file(const char* path, OutputFile& file, bool wait_for_reader) {
  file = OutputFile{};
  file.path = path;
  prepare_signals();
  const std::string prefix = directory_prefix(path);
  file.name = file.path.substr(prefix.size());
  // An empty path, or one that ends in a separator, names no file.
  if (file.name.empty()) {
    return OutputOutcome::cannot_open;
  }
#ifdef O_PATH
  constexpr int directory_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  file.dir_fd = open(prefix.empty() ? "." : prefix.c_str(), directory_flags);
  if (file.dir_fd < 0) {
    return OutputOutcome::cannot_open;
  }
  struct stat st {};
  if (fstatat(file.dir_fd, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) {
      return OutputOutcome::cannot_open;
    }
    // A new file: nothing may be created in a directory where the user cannot create it.
    file.finish = OutputFinish::rename;
    file.fd = create_for_rename(file);
    return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
  }
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return OutputOutcome::cannot_open;
  }
  // Opened for writing but not cut: that asks the system whether the user may write it, and
  // the target keeps its bytes until it is placed. A FIFO waits for its reader unless told not
  // to; the writes that follow block as usual.
  const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (wait_for_reader ? 0 : O_NONBLOCK);
  const bool link = S_ISLNK(st.st_mode);
  if (link) {
    // The system follows the link, with the rules it applies to links in shared directories.
    file.target_fd = open(path, flags);
    if (file.target_fd < 0 && errno == ENOENT) {
      file.create_target = true;
    } else if (file.target_fd < 0) {
      return OutputOutcome::cannot_open;
    }
  } else {
    // A regular file is opened for reading too where the user may, so that its old bytes can
    // be kept for restore_output_file without a second open.
    if (S_ISREG(st.st_mode)) {
      file.target_fd =
          openat(file.dir_fd, file.name.c_str(), (flags & ~O_WRONLY) | O_RDWR | O_NOFOLLOW);
    }
    if (file.target_fd < 0) {
      file.target_fd = openat(file.dir_fd, file.name.c_str(), flags | O_NOFOLLOW);
    }
    if (file.target_fd < 0) {
      return OutputOutcome::cannot_open;
    }
  }
  bool regular = true;
  if (file.target_fd >= 0) {
    if (fstat(file.target_fd, &st) != 0 ||
        fcntl(file.target_fd, F_SETFL, fcntl(file.target_fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      return OutputOutcome::cannot_open;
    }
    regular = S_ISREG(st.st_mode);
    const bool can_mix = regular || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    if (can_mix && same_file(file.target_fd, STDOUT_FILENO)) {
      errno = EINVAL;
      return OutputOutcome::cannot_open;
    }
  }
  if (!link && regular && st.st_nlink == 1) {
    file.finish = OutputFinish::rename;
    file.fd = create_for_rename(file);
    if (file.fd >= 0) {
      return OutputOutcome::ok;
    }
  }
  // Where no file can be made beside the target, the copy is made elsewhere.
  file.finish = OutputFinish::copy;
  file.fd = create_for_copy(file, regular);
  return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
}

bool output_is_file(const OutputFile& file, int fd) {
  return file.target_fd >= 0 && same_file(file.target_fd, fd);
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
      renameat(file.dir_fd, file.backup.c_str(), file.dir_fd, file.name.c_str());
      file.backup.clear();
    } else if (file.saved_fd >= 0 && file.target_fd >= 0) {
      overwrite_target(file.target_fd, file.saved_fd);
    } else if (file.created) {
      unlink(file.path.c_str());
    } else if (file.placed_inode > 0 && file.target_fd < 0) {
      // A new file: it goes again, if the name still leads to it.
      struct stat st {};
      if (fstatat(file.dir_fd, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          static_cast<std::int64_t>(st.st_ino) == file.placed_inode) {
        unlinkat(file.dir_fd, file.name.c_str(), 0);
      }
    }
    file.placed = false;
  }
  discard_output_file(file);
}

void settle_output_file(OutputFile& file) {
  if (!file.backup.empty()) {
    unlinkat(file.dir_fd, file.backup.c_str(), 0);
    file.backup.clear();
  }
  file.placed = false;
  discard_output_file(file);
}

void discard_output_file(OutputFile& file) {
  close_if_open(file.fd);
  if (!file.temporary.empty()) {
    unlinkat(file.dir_fd, file.temporary.c_str(), 0);
  }
  forget_temporary_name(file);
  close_if_open(file.target_fd);
  close_if_open(file.saved_fd);
  close_if_open(file.dir_fd);
}
