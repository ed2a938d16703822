// The run sequence of the command-line driver.
#pragma once

#include "common/run_args.h"

// Number of command-line words a run needs: the program name and eight arguments.
inline constexpr int run_word_count = 9;

// Prints the count line; with too few words, prints the usage text and ends the run.
void check_word_count(int argc);
// Prints each of the first nine words unchanged beside its label.
void echo_words(char* const argv[]);
// Interprets the first nine words.
RunArgs parse_run_args(char* const argv[]);
// Prints the interpreted values.
void print_run_args(const RunArgs& args);
// The whole run: returns the exit status of a successful run; failures end the process.
int run(int argc, char* const argv[]);
