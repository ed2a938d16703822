// The run sequence of the command-line driver.
#pragma once

#include "common/run_args.h"

// Number of command-line words a run needs: the program name and eight arguments.
inline constexpr int run_word_count = 9;

// Interprets the first nine words, as velmora-inspect's --against reads them too.
RunArgs parse_run_args(char* const argv[]);
// The whole run: returns the exit status of a successful run; failures end the process.
int run(int argc, char* const argv[]);
