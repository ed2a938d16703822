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

// Runs velmora with `args` (word 0 is added), standard input at end of input.
ChildResult run_velmora(const std::vector<std::string>& args, const ChildLimits& limits = {});

// Runs velmora with an open pipe as standard input that delivers nothing until the child has
// been silent on standard output for `silence_ms` milliseconds (or has ended); then, if it is
// still running, one byte is sent. `still_running_after_silence` tells whether it was.
struct WaitResult {
  ChildResult result;
  bool still_running_after_silence = false;
};
WaitResult run_velmora_with_silent_stdin(const std::vector<std::string>& args, int silence_ms);

// The bytes of `utf8` text in GBK, the console's encoding.
std::string gbk(const std::string& utf8);
