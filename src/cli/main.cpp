// velmora: echoes its words and what it read from them, then composes the download image.
// Failures end the process with their own status.
#include <cstdio>
#include <iterator>

#include "cli/run.h"
#include "cli/texts.h"
#include "common/fail.h"
#include "fileio/os_file.h"
#include "fileio/output_file.h"
#include "image/compose.h"

static_assert(std::size(text_echo_ordinals) == run_word_count - 1);
static_assert(std::size(text_echo_labels) == run_word_count - 1);

int main(int argc, char* argv[]) {
  reserve_standard_descriptors();
  std::printf(text_count_line, argc);
  if (argc < run_word_count) {
    fail_and_wait(exit_cannot_open, "%s", text_usage);
  }
  // Each of the first nine words unchanged beside its label, then the values read from them.
  std::printf(text_echo_exe, argv[0]);
  for (int i = 1; i < run_word_count; ++i) {
    std::printf(text_echo_word, text_echo_ordinals[i - 1], text_echo_labels[i - 1], argv[i]);
  }
  const RunArgs args = parse_run_args(argv);
  std::printf(text_values, args.src1, args.src2, args.src3, args.des,
              static_cast<unsigned>(args.load_addr1), static_cast<unsigned>(args.load_addr2),
              static_cast<int>(args.status1), static_cast<int>(args.status2));
  Composition composition;
  start_composition(args, composition);
  OutputFile out;
  open_output_or_fail(args.des, out);
  compose_download_image(composition, out);
  std::printf("%s", text_success);
  return exit_success;
}
