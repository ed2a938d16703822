// How velmora reads its command line; velmora-inspect's --against reads it the same way.
#pragma once

#include <cstdint>

#include "common/run_args.h"

// Number of command-line words a run needs: the program name and eight arguments.
inline constexpr int run_word_count = 9;

// Interprets the first nine words.
RunArgs parse_run_args(char* const argv[]);

// Reads a numeric word as hexadecimal, leniently, never refusing it: each hexadecimal digit
// shifts the value left by 4 bits (only the last eight digits survive), a '0' followed by 'x'
// or 'X' is stepped over wherever it stands, and every other byte is skipped. A word without
// digits gives 0; "10" gives 0x10.
std::uint32_t hex_arg_value(const char* text);
