// What a POSIX system supplies: the calls of os_file.h and the output_platform routine.
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
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
#include <utility>
#include <vector>

#include "common/fail.h"
#include "fileio/os_file.h"
#include "fileio/output_file.h"

int stat_path(const char* path, StatBuf* st) {
  return stat(path, st);
}

int stat_fd(int fd, StatBuf* st) {
  return fstat(fd, st);
}

// O_NONBLOCK keeps a pipe without a writer from blocking the open; the type check that
// follows turns it away, and on a regular file the flag has no effect.
int open_for_reading(const char* path) {
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

int close_fd(int fd) {
  return close(fd);
}

long long move_some_at(int fd, std::int64_t offset, std::uint8_t* to, const std::uint8_t* from,
                       std::int64_t count) {
  const auto size = static_cast<std::size_t>(count);
  if (to != nullptr) {
    return pread(fd, to, size, static_cast<off_t>(offset));
  }
  return offset < 0 ? write(fd, from, size) : pwrite(fd, from, size, static_cast<off_t>(offset));
}

bool reserve_length(int fd, std::int64_t length) {
  // fallocate(2) itself, not posix_fallocate(3), which writes a byte into every block where
  // the file system cannot reserve: that would be a second write of the whole file.
  int result = 0;
  do {
    result = fallocate(fd, 0, 0, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0 || (errno != ENOSPC && errno != EDQUOT && errno != EFBIG);
}

// The system gives each open the lowest free descriptor.
void reserve_standard_descriptors() {
  int null = 0;
  while (null >= 0 && null <= 2) {
    null = open("/dev/null", O_RDWR);
  }
  if (null > 2) {
    close(null);
  }
}

namespace {

// Ends the process by the signal that arrived, as it would have ended without this handler,
// once the temporary file is gone. Only async-signal-safe calls.
extern "C" void remove_and_end(int signal_number) {
  remove_pending_files();
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Every signal that would end the process (all but those `spared`) removes the temporary file
// first, unless the parent chose to ignore it (nohup's SIGHUP) or the program handles it (a
// test harness's SIGALRM, a sanitizer's SIGSEGV). A file size limit makes write fail with
// EFBIG instead of killing the process, so that the run reports it. Called again, it finds its
// own handlers in place and leaves them.
void prepare_signals() {
  std::signal(SIGXFSZ, SIG_IGN);
  const int spared[] = {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU,
                        SIGCONT, SIGCHLD, SIGURG,  SIGWINCH};
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    struct sigaction old {};
    if (std::find(std::begin(spared), std::end(spared), signal_number) != std::end(spared) ||
        sigaction(signal_number, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) != 0 ||
        old.sa_handler != SIG_DFL) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = remove_and_end;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

// A name from 64 bits of the system's random source, so that another user cannot guess it.
std::string random_name() {
  std::uint64_t bits = 0;
  const auto whole = static_cast<ssize_t>(sizeof bits);
  bool random = getrandom(&bits, sizeof bits, GRND_NONBLOCK) == whole;
  const int fd = random ? -1 : open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    random = read(fd, &bits, sizeof bits) == whole;
    close(fd);
  }
  if (!random) {
    // No random source at all: a clash is then caught by O_EXCL and the next name is tried.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    static std::uint64_t counter = 0;
    bits = (static_cast<std::uint64_t>(now.tv_nsec) << 20) ^ static_cast<std::uint64_t>(getpid()) ^
           (++counter << 40);
  }
  char name[32];
  std::snprintf(name, sizeof name, ".velmora-%016llx", static_cast<unsigned long long>(bits));
  return name;
}

std::string proc_fd_path(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// A random name in file.dir_fd for the temporary file, recorded as pending before it exists so
// that no moment passes in which a signal would leave it: a new file made there (its
// descriptor returned; its mode that of any new file, from the umask or the directory's
// default access control list), or with `link_fd`, that unnamed open file linked there (0
// returned). -1, with errno, when no name can be had.
int claim_random_name(OutputFile& file, int link_fd = -1) {
  const std::string from = link_fd >= 0 ? proc_fd_path(link_fd) : std::string();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = random_name();
    file.pending_slot = add_pending_file(file.dir_fd, name.c_str());
    const int made =
        link_fd >= 0 ? linkat(AT_FDCWD, from.c_str(), file.dir_fd, name.c_str(), AT_SYMLINK_FOLLOW)
                     : openat(file.dir_fd, name.c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (made >= 0) {
      file.temporary = name;
      return made;
    }
    drop_pending_file(file.pending_slot);
    file.pending_slot = -1;
    if (errno != EEXIST) {
      return -1;
    }
  }
  return -1;
}

// The temporary file, made for a rename (by_rename) where `rename`: in the target's directory,
// unnamed until it is whole where the system allows (Linux's O_TMPFILE, which no kind of ending
// can leave behind, and for a rename only where /proc can give it a name later), else named. A
// copy's needs no name: an unnamed one, or a named one removed at once, beside a regular target;
// else one in the system's temporary directory.
bool create_temporary(OutputFile& file, bool rename, bool beside) {
  file.fd = beside ? openat(file.dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666) : -1;
  char link[64];
  if (file.fd >= 0 && rename && readlink(proc_fd_path(file.fd).c_str(), link, sizeof link) <= 0) {
    close(std::exchange(file.fd, -1));
  }
  if (beside && file.fd < 0) {
    file.fd = claim_random_name(file);
  }
  if (!rename && !file.temporary.empty()) {
    unlinkat(file.dir_fd, file.temporary.c_str(), 0);
    drop_pending_file(file.pending_slot);
    file.pending_slot = -1;
    file.temporary.clear();
  }
  std::FILE* stage = rename || file.fd >= 0 ? nullptr : std::tmpfile();
  if (stage != nullptr) {
    file.fd = fcntl(fileno(stage), F_DUPFD_CLOEXEC, 3);
    std::fclose(stage);
  }
  file.by_rename = rename && file.fd >= 0;
  return file.fd >= 0;
}

// The extended attribute `name` of `fd`, or with nullptr the list of its names, each ended by
// a zero; false when they cannot be had. A file system without them lists none.
bool attribute_bytes(int fd, const char* name, std::vector<char>& bytes) {
  bytes.clear();
  const ssize_t size =
      name != nullptr ? fgetxattr(fd, name, nullptr, 0) : flistxattr(fd, nullptr, 0);
  if (size < 0) {
    return name == nullptr && errno == ENOTSUP;
  }
  // One byte more than needed, so that a call never asks for the size instead of the bytes.
  bytes.resize(static_cast<std::size_t>(size) + 1);
  const ssize_t got = name != nullptr ? fgetxattr(fd, name, bytes.data(), bytes.size())
                                      : flistxattr(fd, bytes.data(), bytes.size());
  bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return got >= 0;
}

std::vector<std::string> split_names(const std::vector<char>& list) {
  std::vector<std::string> names;
  for (std::size_t at = 0; at < list.size(); at += names.back().size() + 1) {
    names.emplace_back(list.data() + at, strnlen(list.data() + at, list.size() - at));
  }
  return names;
}

// Gives `to` exactly the extended attributes of `from`: the access control list
// (system.posix_acl_access), user.* and the rest. An attribute that is the same already is left
// alone, so that none needs a privilege it does not need.
bool copy_attributes(int from, int to) {
  std::vector<char> wanted_list;
  std::vector<char> present_list;
  if (!attribute_bytes(from, nullptr, wanted_list) || !attribute_bytes(to, nullptr, present_list)) {
    return false;
  }
  const std::vector<std::string> wanted = split_names(wanted_list);
  for (const std::string& name : split_names(present_list)) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        fremovexattr(to, name.c_str()) != 0) {
      return false;
    }
  }
  std::vector<char> value;
  std::vector<char> current;
  for (const std::string& name : wanted) {
    if (!attribute_bytes(from, name.c_str(), value) ||
        ((!attribute_bytes(to, name.c_str(), current) || current != value) &&
         fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)) {
      return false;
    }
  }
  return true;
}

// A rename that replaces nothing: a file that appeared at the name meanwhile stays.
int rename_new(int dir_fd, const char* from, const char* to) {
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
}

// A target that velmora-inspect's extraction refuses to replace, and why; nullptr for one that
// a rename replaces as it is. No rename can replace a mount point (a file bound over another).
const char* rename_refusal(const OutputFile& file, const struct stat& st) {
  if (S_ISLNK(st.st_mode)) {
    return "a symbolic link";
  }
  if (!S_ISREG(st.st_mode)) {
    return "a FIFO, device or socket, not a regular file";
  }
  if (st.st_nlink > 1) {
    return "a file with other names (hard links), which would keep the old bytes";
  }
  const char* mount_point = "a mount point";
#ifdef STATX_ATTR_MOUNT_ROOT
  struct statx sx {};
  if (statx(file.dir_fd, file.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
      (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0 ? mount_point : nullptr;
  }
#endif
  struct stat dir {};
  return fstat(file.dir_fd, &dir) != 0 || dir.st_dev != st.st_dev ? mount_point : nullptr;
}

// The owner first, since a change of owner clears the set-user-ID bit and file capabilities;
// the mode last, since setting an access control list can clear set-group-ID.
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

OutputOutcome refuse(OutputFile& file, const char* why) {
  file.refusal = why;
  return OutputOutcome::cannot_open;
}

// Opens `path` as open_target does; `links` counts the symbolic links to no file followed.
OutputOutcome open_path(const std::string& path, OutputFile& file, int links) {
  const std::string prefix = path.substr(0, path.find_last_of('/') + 1);
  file.name = path.substr(prefix.size());
  // An empty path, or one that ends in a separator, names no file.
  if (file.name.empty()) {
    return OutputOutcome::cannot_open;
  }
  file.dir_fd = open(prefix.empty() ? "." : prefix.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat st {};
  if (file.dir_fd < 0) {
    return OutputOutcome::cannot_open;
  }
  // A new file: nothing may be created in a directory where the user cannot create it.
  if (fstatat(file.dir_fd, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT && create_temporary(file, true, true) ? OutputOutcome::ok
                                                                 : OutputOutcome::cannot_open;
  }
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return OutputOutcome::cannot_open;
  }
  const char* refusal = rename_refusal(file, st);
  if (file.rename_only && refusal != nullptr) {
    return refuse(file, refusal);
  }
  // Opened for writing but not cut: that asks the system whether the user may write it, and
  // the target keeps its bytes until it is placed. A FIFO waits for its reader; the writes
  // that follow block as usual.
  const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
  const bool link = S_ISLNK(st.st_mode);
  // The system follows a link, with the rules it applies to links in shared directories; a
  // link to no file leads to a new file, made where the link leads.
  file.target_fd =
      link ? open(path.c_str(), flags) : openat(file.dir_fd, file.name.c_str(), flags | O_NOFOLLOW);
  if (file.target_fd < 0) {
    std::string to(PATH_MAX, '\0');
    const ssize_t got = link && errno == ENOENT && links < 40
                            ? readlinkat(file.dir_fd, file.name.c_str(), to.data(), to.size())
                            : -1;
    if (got <= 0 || got >= PATH_MAX) {
      return OutputOutcome::cannot_open;
    }
    to.resize(static_cast<std::size_t>(got));
    close(std::exchange(file.dir_fd, -1));
    return open_path(to[0] == '/' ? to : prefix + to, file, links + 1);
  }
  if (fstat(file.target_fd, &st) != 0) {
    return OutputOutcome::cannot_open;
  }
  const bool regular = S_ISREG(st.st_mode);
  if ((regular || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) &&
      output_is_file(file, STDOUT_FILENO)) {
    return refuse(file, "the file standard output writes to");
  }
  file.existed = true;
  // Where only a rename will do, the temporary must be able to take on the target's attributes,
  // which is tried while it is empty.
  if (refusal == nullptr && create_temporary(file, true, true)) {
    return file.rename_only && !take_attributes(file)
               ? refuse(file,
                        "its owner, group, mode or extended attributes cannot be given to a new "
                        "file (another user's file?)")
               : OutputOutcome::ok;
  }
  return !file.rename_only && create_temporary(file, false, regular) ? OutputOutcome::ok
                                                                     : OutputOutcome::cannot_open;
}

}  // namespace

namespace output_platform {

OutputOutcome open_target(const char* path, OutputFile& file) {
  prepare_signals();
  return open_path(path, file, 0);
}

// A failed close can mean lost bytes: it is caught before the file takes the target's place.
// Where the name no longer leads to the file that was opened, that file gets the bytes, as it
// does where a rename fails over a mount point (EBUSY, EXDEV) or another user's file in a
// sticky directory (EPERM, EACCES).
Renamed rename_temporary(OutputFile& file, bool keep_old) {
  if (file.existed && !take_attributes(file)) {
    return Renamed::copy_instead;
  }
  struct stat st {};
  struct stat target {};
  const bool named = !file.temporary.empty() || claim_random_name(file, file.fd) == 0;
  if (!named || fstat(file.fd, &st) != 0 || close(std::exchange(file.fd, -1)) != 0) {
    return Renamed::failed;
  }
  file.placed_inode = static_cast<std::int64_t>(st.st_ino);
  if (file.existed && (fstatat(file.dir_fd, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                       fstat(file.target_fd, &target) != 0 || st.st_dev != target.st_dev ||
                       st.st_ino != target.st_ino)) {
    return Renamed::copy_instead;
  }
  if (file.existed && keep_old) {
    const std::string backup = random_name();
    if (linkat(file.dir_fd, file.name.c_str(), file.dir_fd, backup.c_str(), 0) != 0) {
      return Renamed::failed;
    }
    file.backup = backup;
  }
  const int renamed =
      file.existed ? renameat(file.dir_fd, file.temporary.c_str(), file.dir_fd, file.name.c_str())
                   : rename_new(file.dir_fd, file.temporary.c_str(), file.name.c_str());
  if (renamed != 0) {
    const int error = errno;
    if (!file.backup.empty()) {
      unlinkat(file.dir_fd, file.backup.c_str(), 0);
      file.backup.clear();
    }
    return file.existed && (error == EBUSY || error == EXDEV || error == EPERM || error == EACCES)
               ? Renamed::copy_instead
               : Renamed::failed;
  }
  return Renamed::done;
}

// A regular file is cut first and keeps its mode, which a write by another user than its owner
// can lose (set-user-ID, set-group-ID).
bool copy_into_target(OutputFile& file) {
  struct stat before {};
  struct stat after {};
  if (file.target_fd < 0 || fstat(file.target_fd, &before) != 0) {
    return false;
  }
  const bool regular = S_ISREG(before.st_mode);
  if (regular && (ftruncate(file.target_fd, 0) != 0 || lseek(file.target_fd, 0, SEEK_SET) != 0)) {
    return false;
  }
  return copy_from_start(file.fd, file.target_fd) &&
         (!regular || (fstat(file.target_fd, &after) == 0 &&
                       ((after.st_mode & 07777) == (before.st_mode & 07777) ||
                        fchmod(file.target_fd, before.st_mode & 07777) == 0)));
}

int open_temporary(const OutputFile& file) {
  return openat(file.dir_fd, file.temporary.c_str(), O_RDONLY | O_CLOEXEC);
}

// A new file goes again only if the name still leads to it.
void undo_rename(OutputFile& file) {
  struct stat st {};
  if (!file.backup.empty()) {
    renameat(file.dir_fd, file.backup.c_str(), file.dir_fd, file.name.c_str());
  } else if (!file.existed &&
             fstatat(file.dir_fd, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
             static_cast<std::int64_t>(st.st_ino) == file.placed_inode) {
    unlinkat(file.dir_fd, file.name.c_str(), 0);
  }
}

void remove_name(const OutputFile& file, const std::string& name) {
  unlinkat(file.dir_fd, name.c_str(), 0);
}

}  // namespace output_platform

bool output_is_file(const OutputFile& file, int fd) {
  struct stat a {};
  struct stat b {};
  return file.target_fd >= 0 && fstat(file.target_fd, &a) == 0 && fstat(fd, &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The handlers go in first, so that a signal held now removes what is pending once it acts.
void output_platform::hold_all_signals(bool hold) {
  prepare_signals();
  static sigset_t before;
  sigset_t all;
  sigfillset(&all);
  sigprocmask(hold ? SIG_BLOCK : SIG_SETMASK, hold ? &all : &before, hold ? &before : nullptr);
}
