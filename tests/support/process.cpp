#include "support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef VELMORA_EXE
#define VELMORA_EXE "velmora"
#endif
#ifndef VELMORA_INSPECT_EXE
#define VELMORA_INSPECT_EXE "velmora-inspect"
#endif
#ifndef VELMORA_FAULT_SHIM
#define VELMORA_FAULT_SHIM ""
#endif

namespace {

const char* env_or_null(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// The program under test where an unprivileged user can execute it: the build may lie in a
// directory that user cannot enter (a checkout in root's home, or in a 0700 directory of
// mktemp). One copy per program, in a directory every user may enter, removed at exit.
struct SharedCopies {
  std::string dir;
  ~SharedCopies() {
    if (!dir.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  }
};

std::string shared_copy(const std::string& program) {
  static SharedCopies copies;
  if (copies.dir.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-exe-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr || chmod(pattern.c_str(), 0755) != 0) {
      throw std::runtime_error("cannot make a directory for a shared copy of the program");
    }
    copies.dir = pattern;
  }
  const std::filesystem::path copy =
      std::filesystem::path(copies.dir) / std::filesystem::path(program).filename();
  if (!std::filesystem::exists(copy)) {
    std::filesystem::copy_file(program, copy);
    std::filesystem::permissions(
        copy, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                  std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                  std::filesystem::perms::others_exec);
  }
  return copy.string();
}

struct Child {
  pid_t pid = -1;
  int stdin_fd = -1;   // write end, or -1 when the child's stdin is /dev/null
  int stdout_fd = -1;  // read end
};

// Starts `program` (the runner's words, then the program) with `args`; stdin is a pipe when
// `pipe_stdin`, else /dev/null. The child works in `directory` unless it is empty; when
// `stderr_to` is 0 or more its standard error goes there (1: where its standard output goes).
Child start_child(std::vector<std::string> words, const std::vector<std::string>& args,
                  const ChildLimits& limits, bool pipe_stdin, const std::string& directory = "",
                  int stderr_to = -1) {
  if (limits.user >= 0) {
    words.back() = shared_copy(words.back());
  }
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) {
    argv.push_back(w.data());
  }
  argv.push_back(nullptr);

  int out_pipe[2];
  int in_pipe[2] = {-1, -1};
  if (pipe(out_pipe) != 0 || (pipe_stdin && pipe(in_pipe) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    if (limits.address_space > 0) {
      const rlimit lim{static_cast<rlim_t>(limits.address_space),
                       static_cast<rlim_t>(limits.address_space)};
      setrlimit(RLIMIT_AS, &lim);
    }
    // The child meets the signals with their default actions, whatever the tests ignore.
    // Windows has no SIGXFSZ, and Wine does not catch it for the program it runs: there a file
    // size limit must fail the write, as a full disk does.
    for (const int signal_number :
         {SIGXFSZ, SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM}) {
      signal(signal_number, SIG_DFL);
    }
    const rlimit no_core{0, 0};  // a signal that dumps core leaves none in the build
    setrlimit(RLIMIT_CORE, &no_core);
    if (windows_target() || limits.ignore_file_size_signal) {
      signal(SIGXFSZ, SIG_IGN);
    }
    if (limits.stack > 0) {
      const rlimit lim{static_cast<rlim_t>(limits.stack), static_cast<rlim_t>(limits.stack)};
      setrlimit(RLIMIT_STACK, &lim);
    }
    if (limits.file_size > 0) {
      const rlimit lim{static_cast<rlim_t>(limits.file_size),
                       static_cast<rlim_t>(limits.file_size)};
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    const int in = pipe_stdin ? in_pipe[0] : open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(limits.stdout_fd >= 0 ? limits.stdout_fd : out_pipe[1], 1);
    if (stderr_to >= 0) {
      dup2(stderr_to, 2);
    }
    close(out_pipe[0]);
    close(out_pipe[1]);
    if (pipe_stdin) {
      close(in_pipe[1]);
    }
    if (!directory.empty() && chdir(directory.c_str()) != 0) {
      _exit(126);
    }
    for (const std::string& entry : limits.environment) {
      putenv(const_cast<char*>(entry.c_str()));
    }
    if (limits.user >= 0 &&
        (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(limits.user)) != 0 ||
         setuid(static_cast<uid_t>(limits.user)) != 0)) {
      _exit(125);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  Child child;
  child.pid = pid;
  child.stdout_fd = out_pipe[0];
  if (pipe_stdin) {
    close(in_pipe[0]);
    child.stdin_fd = in_pipe[1];
  }
  return child;
}

std::string read_to_end(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return out;
}

int exit_status_of(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
}

void wait_for(pid_t pid, ChildResult& result) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_status = exit_status_of(status);
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

int wait_status(pid_t pid) {
  ChildResult result;
  wait_for(pid, result);
  return result.exit_status;
}

}  // namespace

std::string velmora_path() {
  const char* exe = env_or_null("VELMORA_EXE");
  return exe != nullptr ? exe : VELMORA_EXE;
}

std::vector<std::string> velmora_command() {
  return program_command(velmora_path());
}

std::vector<std::string> program_command(const std::string& program) {
  std::vector<std::string> words;
  if (const char* runner = env_or_null("VELMORA_RUNNER")) {
    // The runner may be a command with options, separated by blanks.
    std::istringstream split(runner);
    for (std::string word; split >> word;) {
      words.push_back(word);
    }
  }
  words.push_back(program);
  return words;
}

std::vector<std::string> inspect_command() {
  const char* exe = env_or_null("VELMORA_INSPECT_EXE");
  return program_command(exe != nullptr ? exe : VELMORA_INSPECT_EXE);
}

ChildLimits with_shim(std::vector<std::string> faults) {
  faults.insert(faults.begin(), std::string("LD_PRELOAD=") + VELMORA_FAULT_SHIM);
  return {.environment = faults};
}

bool running_under_runner() {
  return env_or_null("VELMORA_RUNNER") != nullptr;
}

bool windows_target() {
  const char* target = env_or_null("VELMORA_TARGET");
  return target != nullptr && std::string(target) == "windows";
}

std::string console_text(const std::string& text) {
  if (!windows_target()) {
    return text;
  }
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

std::string warning_names(const std::string& text) {
  std::string names;
  for (std::size_t at = text.find("  warn  "); at != std::string::npos;
       at = text.find("  warn  ", at + 1)) {
    const std::size_t from = at + 8;
    names += names.empty() ? "" : " ";
    names.append(text, from, text.find(' ', from) - from);
  }
  return names;
}

ChildResult run_velmora(const std::vector<std::string>& args, const ChildLimits& limits) {
  ChildResult result;
  // velmora prints its count line before anything else, so a failed run with no output at
  // all means a runner (Wine, now and then) never started it: that launch is tried again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    Child child = start_child(velmora_command(), args, limits, false);
    result.out = read_to_end(child.stdout_fd);
    wait_for(child.pid, result);
    if (!running_under_runner() || result.exit_status == 0 || !result.out.empty()) {
      break;
    }
  }
  return result;
}

ChildResult run_velmora_in(const std::string& directory, const std::vector<std::string>& args) {
  Child child = start_child(velmora_command(), args, {}, false, directory);
  ChildResult result;
  result.out = read_to_end(child.stdout_fd);
  result.exit_status = wait_status(child.pid);
  return result;
}

ChildResult run_velmora_and_signal(const std::vector<std::string>& args, int signal_number,
                                   int delay_ms, const ChildLimits& limits) {
  Child child = start_child(velmora_command(), args, limits, false);
  std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  kill(child.pid, signal_number);
  ChildResult result;
  result.out = read_to_end(child.stdout_fd);
  wait_for(child.pid, result);
  return result;
}

WaitResult run_velmora_with_silent_stdin(const std::vector<std::string>& args, int silence_ms) {
  signal(SIGPIPE, SIG_IGN);
  Child child = start_child(velmora_command(), args, {}, true);
  WaitResult wait;
  // Collect output while waiting, so that the child never blocks on a full pipe and the
  // text shown before the input arrives is known.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(silence_ms);
  int status = 0;
  bool ended = false;
  bool output_open = true;
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{child.stdout_fd, POLLIN, 0};
    if (output_open && poll(&readable, 1, 10) > 0) {
      char buf[4096];
      const ssize_t n = read(child.stdout_fd, buf, sizeof buf);
      if (n > 0) {
        wait.result.out.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0) {
        output_open = false;
      }
    } else if (!output_open) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ended = waitpid(child.pid, &status, WNOHANG) == child.pid;
  }
  wait.still_running_after_silence = !ended;
  wait.out_before_input = wait.result.out;
  if (!ended) {
    const char byte = '\n';
    // Whether or not the key arrives, closing the pipe below ends the wait with end of input.
    [[maybe_unused]] const ssize_t written = write(child.stdin_fd, &byte, 1);
  }
  close(child.stdin_fd);
  wait.result.out += read_to_end(child.stdout_fd);
  wait.result.exit_status = ended ? exit_status_of(status) : wait_status(child.pid);
  return wait;
}

ChildResult run_command(const std::vector<std::string>& words, const ChildLimits& limits) {
  Child child =
      start_child({words.front()}, {words.begin() + 1, words.end()}, limits, false, "", 1);
  ChildResult result;
  result.out = read_to_end(child.stdout_fd);
  wait_for(child.pid, result);
  return result;
}

ChildResult run_program(const std::vector<std::string>& words, const ChildLimits& limits) {
  // Standard error goes to a file, read once the child has ended: two pipes read one after
  // the other could each wait on the other.
  FILE* err = std::tmpfile();
  if (err == nullptr) {
    throw std::runtime_error("cannot make a file for standard error");
  }
  Child child = start_child({words.front()}, {words.begin() + 1, words.end()}, limits, false, "",
                            fileno(err));
  ChildResult result;
  result.out = read_to_end(child.stdout_fd);
  wait_for(child.pid, result);
  std::rewind(err);
  result.err = read_to_end(dup(fileno(err)));
  std::fclose(err);
  return result;
}

std::string gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw std::runtime_error("no GBK converter");
  }
  std::string in = utf8;
  std::string out(in.size() * 2 + 16, '\0');
  char* inp = in.data();
  std::size_t inleft = in.size();
  char* outp = out.data();
  std::size_t outleft = out.size();
  const std::size_t rc = iconv(cd, &inp, &inleft, &outp, &outleft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1) || inleft != 0) {
    throw std::runtime_error("text not convertible to GBK");
  }
  out.resize(out.size() - outleft);
  return out;
}
