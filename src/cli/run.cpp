#include "cli/run.h"

#include <cstdio>

#include "cli/hex_arg.h"
#include "cli/texts.h"
#include "common/fail.h"
#include "fileio/os_file.h"
#include "fileio/output_file.h"
#include "image/compose.h"

static_assert(sizeof text_echo_lines / sizeof text_echo_lines[0] == run_word_count);

namespace {

// Prints the count line; with too few words, prints the usage text and ends the run.
void check_word_count(int argc) {
  std::printf(text_count_line, argc);
  if (argc < run_word_count) {
    fail_and_wait(exit_cannot_open, "%s", text_usage);
  }
}

// Prints each of the first nine words unchanged beside its label.
void echo_words(char* const argv[]) {
  for (int i = 0; i < run_word_count; ++i) {
    std::printf(text_echo_lines[i], argv[i]);
  }
}

}  // namespace

RunArgs parse_run_args(char* const argv[]) {
  RunArgs args;
  args.exe_name = argv[0];
  args.src1 = argv[1];
  args.src2 = argv[2];
  args.load_addr1 = hex_arg_value(argv[3]);
  // The status keeps only the low 8 bits, read as a signed number.
  args.status1 = static_cast<std::int8_t>(hex_arg_value(argv[4]) & 0xFFu);
  args.src3 = argv[5];
  args.load_addr2 = hex_arg_value(argv[6]);
  args.status2 = static_cast<std::int8_t>(hex_arg_value(argv[7]) & 0xFFu);
  args.des = argv[8];
  return args;
}

namespace {

// Prints the interpreted values.
void print_run_args(const RunArgs& args) {
  std::printf(text_value_src1, args.src1);
  std::printf(text_value_src2, args.src2);
  std::printf(text_value_src3, args.src3);
  std::printf(text_value_des, args.des);
  std::printf(text_value_load_addr1, static_cast<unsigned>(args.load_addr1));
  std::printf(text_value_load_addr2, static_cast<unsigned>(args.load_addr2));
  std::printf(text_value_status1, static_cast<int>(args.status1));
  std::printf(text_value_status2, static_cast<int>(args.status2));
}

}  // namespace

int run(int argc, char* const argv[]) {
  reserve_standard_descriptors();
  check_word_count(argc);
  echo_words(argv);
  const RunArgs args = parse_run_args(argv);
  print_run_args(args);
  Composition composition;
  start_composition(args, composition);
  OutputFile out;
  open_output_or_fail(args.des, out);
  compose_download_image(composition, out);
  std::printf("%s", text_success);
  end_composition(composition);
  return exit_success;
}
