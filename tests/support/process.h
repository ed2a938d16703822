// Runs the velmora executable as a child process and captures what a user would see.
#pragma once

#include <string>
#include <vector>

struct ChildLimits {
  long long address_space = 0;  // RLIMIT_AS in bytes; 0 leaves it alone
  long long file_size = 0;      // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored; 0 leaves it
};

struct ChildResult {
  int exit_status = -1000;  // the low 8 bits the parent sees, or -1000 when killed
  std::string out;          // standard output, byte for byte
};

// The program under test: VELMORA_EXE from the environment, else the one built beside the
// tests. VELMORA_RUNNER, when set, is put in front of it (e.g. "wine" or "valgrind -q").
std::string velmora_path();
bool running_under_runner();

// True when the program under test is the Windows build (VELMORA_TARGET=windows). Its
// standard output is a text stream there, which ends every line with "\r\n".
bool windows_target();
// `text` as the program under test prints it: every "\n" becomes the target's line end.
std::string console_text(const std::string& text);

// Runs velmora with `args` (word 0 is added), standard input at end of input.
ChildResult run_velmora(const std::vector<std::string>& args, const ChildLimits& limits = {});
// The same, with `directory` as the working directory.
ChildResult run_velmora_in(const std::string& directory, const std::vector<std::string>& args);

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
