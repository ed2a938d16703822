#include "inspect/inspect_run.h"

#include <cstdio>
#include <cstring>

#include "cli/run.h"
#include "inspect/against.h"
#include "inspect/byte_source.h"
#include "inspect/extract.h"
#include "inspect/inspect.h"
#include "inspect/report_format.h"

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION must be defined by the build"
#endif

const char inspect_usage[] =
    "Usage: velmora-inspect [--json] [--map] [--extract DIR [--force]] IMAGE\n"
    "       velmora-inspect [--json] --against BOOT APP1 LOAD_ADDR1 STATUS1 APP2 LOAD_ADDR2 "
    "STATUS2 IMAGE\n"
    "Shows what a download image composed by velmora holds and checks every checksum\n"
    "and field, or compares it with what velmora writes from the given inputs.\n"
    "\n"
    "  --json         print the report as one JSON object\n"
    "  --map          also show where each region lies, as a table with a bar\n"
    "  --extract DIR  also write boot.bin, header.bin, app1.bin and app2.bin into DIR,\n"
    "                 creating it if needed; app1.bin and app2.bin are un-reversed\n"
    "  --force        let --extract replace files that exist already\n"
    "  --against      take velmora's eight words, the image in the output's place, and\n"
    "                 name every difference between the image and what velmora writes\n"
    "  --help         print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status: 0 when every check passes (warnings allowed) or the image is identical,\n"
    "1 when a check fails or the image differs, 2 for a usage error or a file that cannot\n"
    "be read or written.\n";

namespace {

constexpr char program_name[] = "velmora-inspect";

void print_error(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program_name, message.c_str());
}

int usage_error(const std::string& message) {
  print_error(message);
  std::fprintf(stderr, "Usage: %s [--json] [--map] [--extract DIR [--force]] IMAGE\n",
               program_name);
  std::fprintf(stderr,
               "       %s [--json] --against BOOT APP1 LOAD_ADDR1 STATUS1 APP2 "
               "LOAD_ADDR2 STATUS2 IMAGE\n",
               program_name);
  std::fprintf(stderr, "Try '%s --help' for more.\n", program_name);
  return inspect_exit_error;
}

// Writes the text and flushes; the status when that worked, else inspect_exit_error.
int print_out(const std::string& text, int status) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    print_error("cannot write to standard output");
    return inspect_exit_error;
  }
  return status;
}

bool check_combination(const InspectOptions& options, std::string& error) {
  if (options.image == nullptr) {
    error = "no image given";
    return false;
  }
  if (options.force && options.extract_dir == nullptr) {
    error = "--force only applies to --extract";
    return false;
  }
  if (options.against != nullptr && (options.extract_dir != nullptr || options.map)) {
    error = "--against cannot be combined with --extract or --map";
    return false;
  }
  return true;
}

// The image is read in stretches through `image`; the report comes out only once any
// extraction has been written whole, so that what is printed is never contradicted.
int run_report(const InspectOptions& options, ReadFile& image) {
  const ByteSource source = file_source(image);
  InspectReport report;
  std::string error;
  if (!inspect_source(source, report, error)) {
    print_error(error);
    return inspect_exit_error;
  }
  const int status = report_exit_status(report);
  ExtractOutcome extracted = ExtractOutcome::written;
  if (options.extract_dir != nullptr) {
    extracted = extract_parts(source, report, options.extract_dir, options.force, error);
    if (extracted == ExtractOutcome::exists || extracted == ExtractOutcome::cannot_write) {
      print_error(error);
      return inspect_exit_error;
    }
  }
  std::string text;
  if (options.json) {
    text = report_json(options.image, report, options.map);
  } else {
    text = report_text(options.image, report);
    text += options.map ? map_text(report) : "";
    if (options.extract_dir != nullptr && extracted == ExtractOutcome::written) {
      text += std::string("extracted boot.bin, header.bin, app1.bin and app2.bin into ") +
              options.extract_dir + "\n";
    }
  }
  if (extracted == ExtractOutcome::not_in_file) {
    // The checks have failed already and say why.
    print_error(error);
  }
  return print_out(text, status);
}

int run_against(const InspectOptions& options, ReadFile& image) {
  // velmora's own reading of its words: the image stands where velmora's output would.
  char name[] = "velmora";
  char* words[run_word_count] = {name};
  for (int i = 0; i < against_word_count; ++i) {
    words[i + 1] = options.against[i];
  }
  words[run_word_count - 1] = options.image;
  const RunArgs args = parse_run_args(words);

  ReadFile inputs[3];
  std::string error;
  const char* paths[3] = {args.src1, args.src2, args.src3};
  int status = inspect_exit_error;
  bool opened = true;
  for (int i = 0; opened && i < 3; ++i) {
    opened = open_read_file(paths[i], inputs[i], error);
  }
  AgainstReport report;
  if (opened && compare_against(args, file_source(inputs[0]), file_source(inputs[1]),
                                file_source(inputs[2]), file_source(image), report, error)) {
    status = print_out(options.json ? against_json(options.image, args, report)
                                    : against_text(options.image, args, report),
                       against_exit_status(report));
  } else {
    print_error(error);
  }
  for (ReadFile& input : inputs) {
    close_read_file(input);
  }
  return status;
}

}  // namespace

bool parse_inspect_options(int argc, char* const argv[], InspectOptions& options,
                           std::string& error) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    char* word = argv[i];
    const bool is_option = !options_end && word[0] == '-' && word[1] != '\0';
    if (!is_option) {
      if (options.image != nullptr) {
        error = std::string("more than one image given: ") + options.image + " and " + word;
        return false;
      }
      options.image = word;
    } else if (std::strcmp(word, "--") == 0) {
      options_end = true;
    } else if (std::strcmp(word, "--json") == 0) {
      options.json = true;
    } else if (std::strcmp(word, "--map") == 0) {
      options.map = true;
    } else if (std::strcmp(word, "--force") == 0) {
      options.force = true;
    } else if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0) {
      options.help = true;
    } else if (std::strcmp(word, "--version") == 0) {
      options.version = true;
    } else if (std::strcmp(word, "--against") == 0) {
      // The input words are taken as they stand, even one that starts with '-'.
      if (argc - (i + 1) < against_word_count) {
        error = "--against needs BOOT APP1 LOAD_ADDR1 STATUS1 APP2 LOAD_ADDR2 STATUS2";
        return false;
      }
      options.against = argv + i + 1;
      i += against_word_count;
    } else if (std::strcmp(word, "--extract") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        error = "--extract needs a directory";
        return false;
      }
      options.extract_dir = argv[++i];
    } else if (std::strncmp(word, "--extract=", 10) == 0 && word[10] != '\0') {
      options.extract_dir = word + 10;
    } else {
      error = std::string("unknown option: ") + word;
      return false;
    }
  }
  return options.help || options.version || check_combination(options, error);
}

int run_inspect(int argc, char* const argv[]) {
  InspectOptions options;
  std::string error;
  if (!parse_inspect_options(argc, argv, options, error)) {
    return usage_error(error);
  }
  if (options.help) {
    return print_out(inspect_usage, inspect_exit_pass);
  }
  if (options.version) {
    return print_out(std::string(program_name) + " " + VELMORA_VERSION + "\n", inspect_exit_pass);
  }
  ReadFile image;
  if (!open_read_file(options.image, image, error)) {
    print_error(error);
    return inspect_exit_error;
  }
  const int status =
      options.against != nullptr ? run_against(options, image) : run_report(options, image);
  close_read_file(image);
  return status;
}
