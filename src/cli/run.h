// How velmora reads its command line; velmora-inspect's --against reads it the same way.
#pragma once

#include "common/run_args.h"

// Number of command-line words a run needs: the program name and eight arguments.
inline constexpr int run_word_count = 9;

// Interprets the first nine words.
RunArgs parse_run_args(char* const argv[]);
