#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

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

// A file size limit makes write fail with EFBIG instead of killing the process, so that the
// run reports it. The signals that end a run remove the temporary file first; a signal the
// parent chose to ignore (nohup's SIGHUP) stays ignored.
void prepare_signals() {
  std::signal(SIGXFSZ, SIG_IGN);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction old {};
    if (sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = remove_and_end;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal_number, &action, nullptr);
  }
}

std::string canonical(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.empty() ? "." : path.c_str(), resolved) != nullptr ? resolved : "";
}

// Follows symbolic links from `path` to the file that finally gets written, which need not
// exist yet (a link may point at a new file). False for a loop of links, and for a link that
// lives in /proc (/dev/stdout, /dev/fd/N): its text names an open file, not a path to write.
bool resolve_target(const char* path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return true;
    }
    if (canonical(directory_prefix(target)).starts_with("/proc/")) {
      return false;
    }
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
    const ssize_t n = readlink(target.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) {
      return false;
    }
    link.resize(static_cast<std::size_t>(n));
    target = link[0] == '/' ? link : directory_prefix(target) + link;
  }
  return false;
}

// A name beside the target that no file has yet, for the moment the temporary file gets one.
std::string temporary_name(const std::string& directory, unsigned attempt) {
  const unsigned long stamp = static_cast<unsigned long>(std::time(nullptr)) ^
                              (static_cast<unsigned long>(getpid()) << 16) ^ attempt;
  return directory + ".velmora-" + std::to_string(stamp);
}

// An unnamed file in `directory`, given a name by name_temporary only when it is whole, so
// that no kind of ending (SIGKILL, a power cut) leaves a partial file behind. Needs Linux's
// O_TMPFILE and /proc to name it; -1 where either is missing.
int create_unnamed(const std::string& directory) {
#ifdef O_TMPFILE
  if (access("/proc/self/fd", X_OK) != 0) {
    return -1;
  }
  return open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#else
  (void)directory;
  return -1;
#endif
}

// A named temporary file in `directory`, recorded as pending so that a failure or a signal
// removes it.
int create_named(const std::string& directory, OutputFile& file) {
  file.temporary = directory + ".velmora-XXXXXX";
  const int fd = mkstemp(file.temporary.data());
  if (fd < 0) {
    file.temporary.clear();
    return -1;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  file.pending_slot = add_pending_file(file.temporary.c_str());
  return fd;
}

// Gives the unnamed temporary file a name beside its target.
bool name_unnamed(OutputFile& file) {
  const std::string proc_path = "/proc/self/fd/" + std::to_string(file.fd);
  const std::string directory = directory_prefix(file.target);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temporary_name(directory, attempt);
    file.pending_slot = add_pending_file(name.c_str());
    if (linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
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

// The new file takes the place of the old one: its permission bits, and its owner and group
// where this process may set them (a group of its own, say, though not another owner). The
// mode comes last, since a change of owner clears the set-user-ID bit.
void keep_attributes(const OutputFile& file) {
  mode_t mode = 0;
  if (file.existed) {
    if (fchown(file.fd, static_cast<uid_t>(file.old_owner), static_cast<gid_t>(file.old_group)) !=
        0) {
      // Where the group cannot be kept either, the file keeps this process's: nothing to do.
      [[maybe_unused]] const int kept_group =
          fchown(file.fd, static_cast<uid_t>(-1), static_cast<gid_t>(file.old_group));
    }
    mode = static_cast<mode_t>(file.old_mode);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = static_cast<mode_t>(0666 & ~mask);
  }
  (void)fchmod(file.fd, mode);
}

// Rename refuses a target that is a mount point (EBUSY, EXDEV) or another user's file in a
// sticky directory (EPERM, EACCES), though the file itself may be written.
bool rename_refused_but_writable(int error) {
  return error == EBUSY || error == EXDEV || error == EPERM || error == EACCES;
}

// Opens an existing regular file to be written in place; it is cut only at the first write.
OutputOutcome open_in_place(const char* path, OutputFile& file) {
  file.route = OutputRoute::in_place;
  file.fd = open(path, O_WRONLY | O_CLOEXEC);
  return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
}

}  // namespace

OutputOutcome replace_target(OutputFile& file) {
  keep_attributes(file);
  if (file.temporary.empty() && !name_unnamed(file)) {
    return OutputOutcome::cannot_write;
  }
  // A failed close can mean lost bytes: it is checked before the file takes the old one's place.
  const bool closed = close_fd(file.fd) == 0;
  file.fd = -1;
  if (!closed) {
    return OutputOutcome::cannot_write;
  }
  if (rename(file.temporary.c_str(), file.target.c_str()) == 0) {
    // The name is the target's now: nothing is left to remove.
    drop_pending_file(file.pending_slot);
    file.pending_slot = -1;
    file.temporary.clear();
    return OutputOutcome::ok;
  }
  if (!rename_refused_but_writable(errno)) {
    return OutputOutcome::cannot_write;
  }
  // The whole image is in the temporary file: copying it into the target cannot be cut
  // short by an input any more.
  const int from = open(file.temporary.c_str(), O_RDONLY | O_CLOEXEC);
  const int to = from >= 0 ? open(file.target.c_str(), O_WRONLY | O_CLOEXEC) : -1;
  const bool copied = to >= 0 && copy_contents(from, to);
  const bool copy_closed = to >= 0 && close_fd(to) == 0;
  if (from >= 0) {
    close_fd(from);
  }
  return copied && copy_closed ? OutputOutcome::ok : OutputOutcome::cannot_write;
}

OutputOutcome open_output_file(const char* path, OutputFile& file) {
  file = OutputFile{};
  file.path = path;
  prepare_signals();
  struct stat st {};
  if (path[0] == '\0') {
    return OutputOutcome::cannot_open;
  }
  const bool exists = stat(path, &st) == 0;
  if ((!exists && errno != ENOENT) || (exists && S_ISDIR(st.st_mode))) {
    return OutputOutcome::cannot_open;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    // A pipe, a terminal or a device: written in order through the path as given.
    file.route = OutputRoute::stream;
    file.fd = open(path, O_WRONLY | O_CLOEXEC);
    return file.fd >= 0 ? OutputOutcome::ok : OutputOutcome::cannot_open;
  }
  // A file the user may not write stays refused, as a plain open for writing would be.
  if (exists && access(path, W_OK) != 0) {
    return OutputOutcome::cannot_open;
  }
  if (!resolve_target(path, file.target)) {
    return exists ? open_in_place(path, file) : OutputOutcome::cannot_open;
  }
  // Another name of the same file would keep the old bytes if this one were replaced.
  if (exists && st.st_nlink > 1) {
    return open_in_place(path, file);
  }
  // A path that ends in a separator names a directory, not a file.
  const std::string directory = directory_prefix(file.target);
  if (directory.size() == file.target.size()) {
    return OutputOutcome::cannot_open;
  }
  file.route = OutputRoute::replace;
  file.existed = exists;
  if (exists) {
    file.old_mode = st.st_mode & 07777;
    file.old_owner = st.st_uid;
    file.old_group = st.st_gid;
  }
  file.fd = create_unnamed(directory);
  if (file.fd < 0) {
    file.fd = create_named(directory, file);
  }
  if (file.fd < 0) {
    // No new file can be made beside it, but the file itself may still be written.
    return exists ? open_in_place(path, file) : OutputOutcome::cannot_open;
  }
  return OutputOutcome::ok;
}

// An unnamed file in the system's temporary directory: nothing of it can be left behind.
int create_stage() {
  std::FILE* stage = std::tmpfile();
  if (stage == nullptr) {
    return -1;
  }
  const int fd = dup(fileno(stage));
  std::fclose(stage);
  return fd;
}
