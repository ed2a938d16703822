// Runs the velmora executable as a child process and captures what a user would see.
#pragma once

#include <string>
#include <vector>

struct ChildLimits {
  long long address_space = 0;  // RLIMIT_AS in bytes; 0 leaves it alone
  long long file_size = 0;      // RLIMIT_FSIZE in bytes; 0 leaves it alone
  long long stack = 0;          // RLIMIT_STACK in bytes; 0 leaves it alone
  int user = -1;                // when 0 or more (and the tests run as root): that user and group
  std::vector<std::string> environment = {};  // NAME=value entries added to the child's environment
  bool ignore_file_size_signal = false;  // SIGXFSZ ignored: a write past file_size fails instead
  int stdout_fd = -1;  // when 0 or more: the child's standard output, instead of `out`
};

struct ChildResult {
  int exit_status = -1000;  // the low 8 bits the parent sees, or -1000 when killed
  int signal = 0;           // the signal that ended it, or 0
  std::string out;          // standard output, byte for byte
  std::string err;          // standard error, where run_program keeps it apart
};

// Whether this build has AddressSanitizer, which must come first in a process: a library
// preloaded into the programs (the fault shim) cannot be used then.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool built_with_sanitizers = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool built_with_sanitizers = true;
#else
inline constexpr bool built_with_sanitizers = false;
#endif
#else
inline constexpr bool built_with_sanitizers = false;
#endif

// An unprivileged user for children of tests that run as root: nobody.
inline constexpr int unprivileged_user = 65534;

// The program under test: VELMORA_EXE from the environment, else the one built beside the
// tests. VELMORA_RUNNER, when set, is put in front of it (e.g. "wine" or "valgrind -q").
std::string velmora_path();
bool running_under_runner();
// The words that start the program under test: the runner's, then the program.
std::vector<std::string> velmora_command();
// The same for another program of the project (velmora-inspect, say).
std::vector<std::string> program_command(const std::string& program);
// The words that start velmora-inspect: VELMORA_INSPECT_EXE from the environment (under the
// runner Wine, velmora-inspect.exe), else the one built beside the tests.
std::vector<std::string> inspect_command();

// Limits that preload the fault shim into the child, with its `faults` (NAME=value) set.
ChildLimits with_shim(std::vector<std::string> faults);

// True when the program under test is the Windows build (VELMORA_TARGET=windows). Its
// standard output is a text stream there, which ends every line with "\r\n".
bool windows_target();
// `text` as the program under test prints it: every "\n" becomes the target's line end.
std::string console_text(const std::string& text);
// The names of the warnings ("  warn  NAME ...") a text report of velmora-inspect lists, in
// order, separated by blanks.
std::string warning_names(const std::string& text);

// Runs velmora with `args` (word 0 is added), standard input at end of input.
ChildResult run_velmora(const std::vector<std::string>& args, const ChildLimits& limits = {});
// The same, with `directory` as the working directory.
ChildResult run_velmora_in(const std::string& directory, const std::vector<std::string>& args);

// Runs velmora and sends it `signal_number` after `delay_ms` milliseconds, if it still runs.
ChildResult run_velmora_and_signal(const std::vector<std::string>& args, int signal_number,
                                   int delay_ms, const ChildLimits& limits = {});

// Runs another program (words[0]) natively with the same limits; its standard error goes into
// `out` with its standard output.
ChildResult run_command(const std::vector<std::string>& words, const ChildLimits& limits = {});
// The same, its standard error kept apart in `err`.
ChildResult run_program(const std::vector<std::string>& words, const ChildLimits& limits = {});

// Runs velmora with an open pipe as standard input that stays silent for `silence_ms`
// milliseconds, or until the child ends if that comes first, then delivers one byte.
// `still_running_after_silence` tells whether the child had not ended when the byte was
// sent, and `out_before_input` holds what it had printed by then.
struct WaitResult {
  ChildResult result;
  bool still_running_after_silence = false;
  std::string out_before_input;
};
WaitResult run_velmora_with_silent_stdin(const std::vector<std::string>& args, int silence_ms);

// The bytes of `utf8` text in GBK, the console's encoding.
std::string gbk(const std::string& utf8);
