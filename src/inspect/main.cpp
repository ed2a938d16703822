#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <system_error>
#include <utility>

#include "cli/run.h"
#include "fileio/os_file.h"
#include "inspect/inspect.h"

// The synopsis, which a usage error repeats, keeps to the options every script already
// knows; --help lists --strict and --allow below it.
#define VELMORA_INSPECT_SYNOPSIS                                                              \
  "Usage: velmora-inspect [--json] [--quiet] [--map] [--readback] [--extract DIR [--force]] " \
  "IMAGE\n"                                                                                   \
  "       velmora-inspect [--json] [--quiet] [--readback] --against BOOT APP1 LOAD_ADDR1 "    \
  "STATUS1 APP2 LOAD_ADDR2 STATUS2 IMAGE\n"                                                   \
  "       velmora-inspect [--json] [--quiet] --diff IMAGE_A IMAGE_B\n"

const char inspect_usage[] = VELMORA_INSPECT_SYNOPSIS
    "Shows what a download image composed by velmora holds and checks every checksum\n"
    "and field, compares it with what velmora writes from the given inputs, or compares\n"
    "two images region by region.\n"
    "\n"
    "  --json         print the report as one JSON object\n"
    "  --quiet        print only failures, warnings and the summary line (text only)\n"
    "  --map          also show where each region lies, as a table with a bar\n"
    "  --readback     IMAGE is a dump of the flash: accept bytes after the image's end\n"
    "                 when every one of them is 0xFF (erased flash)\n"
    "  --strict       fail on every warning (status 1) that --allow does not name\n"
    "  --allow NAME   with --strict, accept the warning NAME as intended (repeatable)\n"
    "  --extract DIR  also write boot.bin, header.bin, app1.bin and app2.bin into DIR,\n"
    "                 creating it if needed; app1.bin and app2.bin are un-reversed\n"
    "  --force        let --extract replace files that exist already\n"
    "  --against      take velmora's eight words, the image in the output's place, and\n"
    "                 name every difference between the image and what velmora writes\n"
    "  --diff         compare IMAGE_A and IMAGE_B region by region, each laid out by\n"
    "                 its own header\n"
    "  --help         print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status: 0 when every check passes (warnings allowed, unless --strict) or the\n"
    "images are identical, 1 when a check fails, the images differ or --strict finds a\n"
    "warning it does not allow, 2 for a usage error or a file that cannot be read or\n"
    "written, or changed while read (with --json, an object with \"result\": \"error\"),\n"
    "3 when --extract wrote every part but the report could not be written.\n";

namespace {

struct InspectOptions {
  char* image = nullptr;
  std::vector<const char*> extract;  // the directory of every --extract: the last counts
  // The seven input words of --against, when given, in velmora's order: BOOT APP1 LOAD_ADDR1
  // STATUS1 APP2 LOAD_ADDR2 STATUS2; the image stands in the place of velmora's output.
  char* const* against = nullptr;
  char* const* diff = nullptr;  // the two images of --diff, when given
  bool force = false;
  bool json = false;
  bool map = false;
  bool quiet = false;
  bool readback = false;
  bool strict = false;             // every warning not in `allow` fails the run
  std::vector<const char*> allow;  // the warnings --allow names
  bool help = false;
  bool version = false;
};

constexpr std::pair<const char*, bool InspectOptions::*> flag_options[] = {
    {"--json", &InspectOptions::json},      {"--map", &InspectOptions::map},
    {"--quiet", &InspectOptions::quiet},    {"--readback", &InspectOptions::readback},
    {"--force", &InspectOptions::force},    {"--strict", &InspectOptions::strict},
    {"--help", &InspectOptions::help},      {"-h", &InspectOptions::help},
    {"--version", &InspectOptions::version}};

constexpr char program_name[] = "velmora-inspect";

void print_error(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program_name, message.c_str());
}

bool print_out(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
         std::fflush(stdout) == 0;
}

// What a run found: its status, the reason of an error, the report, what --strict judges, and
// the line that says where --extract has put every part.
struct Outcome {
  int status = inspect_exit_error;
  std::string error{};
  Doc doc{};
  std::vector<CheckResult> checks{};
  std::string extracted{};
};

// Opens an image, refusing a kernel's pseudo-file (under /proc or /sys, or of size 0 that
// delivers bytes): its size says 0 or a page whatever it delivers, no length to judge by.
bool open_image(const char* path, ReadFile& file, std::string& error) {
  if (!open_read_file(path, file, error)) {
    return false;
  }
  std::error_code ec;
  const std::string real = std::filesystem::canonical(file.path, ec).generic_string();
  const bool kernel = !ec && (real.rfind("/proc/", 0) == 0 || real.rfind("/sys/", 0) == 0);
  std::uint8_t byte = 0;
  if (kernel || (file.length == 0 && read_up_to_at(file.fd, 0, &byte, 1) > 0)) {
    error = file.path +
            ": cannot read: a pseudo-file (under /proc or /sys, or of size 0 that delivers "
            "bytes), not an image";
    close_read_file(file);
    return false;
  }
  return true;
}

// The image is read in stretches through `source`; the report comes out only once any
// extraction has been written whole, so that what is printed is never contradicted.
Outcome run_report(const InspectOptions& options, const ByteSource& source) {
  InspectReport report;
  std::string error;
  if (!inspect_source(source, options.readback, report, error) ||
      !source_ends_at_length(source, error)) {
    return {.error = error};
  }
  Outcome found{report_exit_status(report), "", report_doc(options.image, report, options.map),
                report.checks};
  if (!options.extract.empty()) {
    const ExtractOutcome extracted =
        extract_parts(source, report, options.extract.back(), options.force, error);
    if (extracted == ExtractOutcome::written) {
      found.extracted = std::string("extracted boot.bin, header.bin, app1.bin and app2.bin into ") +
                        options.extract.back();
      found.doc.push_back({.items = {{.text = found.extracted}}});
    } else if (extracted == ExtractOutcome::not_in_file) {
      print_error(error);  // the checks have failed already and say why
    } else {
      return {.error = error};
    }
  }
  return found;
}

// Compares the image with the inputs, and adds what the plain report on the image and the
// inputs' own words show of likely mistakes.
Outcome run_against(const InspectOptions& options, const ByteSource& source) {
  // velmora's own reading of its words: the image stands where velmora's output would.
  char name[] = "velmora";
  char* words[run_word_count] = {name};
  std::copy_n(options.against, run_word_count - 2, words + 1);
  words[run_word_count - 1] = options.image;
  const RunArgs args = parse_run_args(words);
  ReadFile inputs[3];
  Outcome found;
  const bool opened = open_read_file(args.src1, inputs[0], found.error) &&
                      open_read_file(args.src2, inputs[1], found.error) &&
                      open_read_file(args.src3, inputs[2], found.error);
  const ByteSource sources[3] = {file_source(inputs[0]), file_source(inputs[1]),
                                 file_source(inputs[2])};
  InspectReport plain;
  AgainstReport report;
  if (opened &&
      compare_against(args, sources[0], sources[1], sources[2], source, report, found.error) &&
      inspect_source(source, options.readback, plain, found.error) &&
      (!options.readback || judge_readback_tail(source, report, found.error)) &&
      source_ends_at_length(source, found.error) &&
      std::all_of(std::begin(sources), std::end(sources),
                  [&](const ByteSource& s) { return source_ends_at_length(s, found.error); }) &&
      against_warnings(args, options.against, sources, plain, report, found.error)) {
    found.status = report.differences.empty() ? inspect_exit_pass : inspect_exit_fail;
    found.doc = against_doc(options.image, args, report);
    found.checks = report.warnings;
  }
  for (ReadFile& input : inputs) {
    close_read_file(input);
  }
  return found;
}

// The run the options ask for, its report in `out`, judged with --strict. A file cut or grown
// while read was judged on bytes it no longer holds: the run then ends naming it.
Outcome run_checked(const InspectOptions& options, std::string& out) {
  if (options.help || options.version) {
    out = options.help ? inspect_usage : std::string(program_name) + " " + VELMORA_VERSION + "\n";
    return {inspect_exit_pass};
  }
  const bool diff = options.diff != nullptr;
  ReadFile images[2];  // the image, or --diff's two
  Outcome found;
  DiffReport report;
  const bool opened = open_image(diff ? options.diff[0] : options.image, images[0], found.error) &&
                      (!diff || open_image(options.diff[1], images[1], found.error));
  const ByteSource a = file_source(images[0]);
  const ByteSource b = file_source(images[1]);
  if (opened && !diff) {
    found = options.against != nullptr ? run_against(options, a) : run_report(options, a);
  } else if (opened && diff_images(a, b, report, found.error) &&
             source_ends_at_length(a, found.error) && source_ends_at_length(b, found.error)) {
    found.status = regions_differing(report) == 0 ? inspect_exit_pass : inspect_exit_fail;
    found.doc = diff_doc(options.diff[0], options.diff[1], report);
  }
  close_read_file(images[0]);
  close_read_file(images[1]);
  if (options.strict && found.status != inspect_exit_error) {
    bool failed = false;
    found.doc.push_back(strict_block(found.checks, options.allow, failed));
    found.status = failed ? inspect_exit_fail : found.status;
  }
  out = options.json ? render_json(found.doc) : render_text(found.doc, options.quiet);
  return found;
}

// Reads the command line; false, with `error` saying why, for a usage error.
bool parse_inspect_options(int argc, char* const argv[], InspectOptions& options,
                           std::string& error) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    char* word = argv[i];
    const bool is_option = !options_end && word[0] == '-' && word[1] != '\0';
    const auto* flag = std::find_if(std::begin(flag_options), std::end(flag_options),
                                    [&](const auto& f) { return std::strcmp(word, f.first) == 0; });
    if (!is_option) {
      if (options.image != nullptr) {
        error = std::string("more than one image given: ") + options.image + " and " + word;
        return false;
      }
      options.image = word;
    } else if (std::strcmp(word, "--") == 0) {
      options_end = true;
    } else if (flag != std::end(flag_options)) {
      options.*flag->second = true;
    } else if (std::strcmp(word, "--allow") == 0 || std::strcmp(word, "--extract") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        error =
            word[2] == 'a' ? "--allow needs the name of a warning" : "--extract needs a directory";
        return false;
      }
      (word[2] == 'a' ? options.allow : options.extract).push_back(argv[++i]);
    } else if (std::strncmp(word, "--allow=", 8) == 0 && word[8] != '\0') {
      options.allow.push_back(word + 8);
    } else if (std::strcmp(word, "--against") == 0 || std::strcmp(word, "--diff") == 0) {
      // The words it takes are taken as they stand, even one that starts with '-'.
      const bool against = word[2] == 'a';
      const int count = against ? run_word_count - 2 : 2;
      if (argc - (i + 1) < count) {
        error = against ? "--against needs BOOT APP1 LOAD_ADDR1 STATUS1 APP2 LOAD_ADDR2 STATUS2"
                        : "--diff needs IMAGE_A IMAGE_B";
        return false;
      }
      (against ? options.against : options.diff) = argv + i + 1;
      i += count;
    } else if (std::strncmp(word, "--extract=", 10) == 0 && word[10] != '\0') {
      options.extract.push_back(word + 10);
    } else {
      error = std::string("unknown option: ") + word;
      return false;
    }
  }
  if (options.help || options.version) {
    return true;
  }
  const bool diff = options.diff != nullptr;
  const auto unknown = std::find_if(options.allow.begin(), options.allow.end(),
                                    [](const char* name) { return !known_warning(name); });
  // The first rule broken is the one named.
  const std::pair<bool, std::string> rules[] = {
      {diff && (options.image != nullptr || options.against != nullptr ||
                !options.extract.empty() || options.map || options.readback),
       "--diff takes two images and no other image, --against, --extract, --map or --readback"},
      {options.image == nullptr && !diff, "no image given"},
      {diff && options.strict, "--strict does not apply to --diff, which gives no warnings"},
      {!options.allow.empty() && !options.strict, "--allow only applies to --strict"},
      {unknown != options.allow.end(), std::string("--allow: no warning is named ") +
                                           (unknown != options.allow.end() ? *unknown : "")},
      {options.force && options.extract.empty(), "--force only applies to --extract"},
      {options.against != nullptr && (!options.extract.empty() || options.map),
       "--against cannot be combined with --extract or --map"},
      {options.quiet && options.map, "--quiet cannot be combined with --map"},
  };
  const auto* broken =
      std::find_if(std::begin(rules), std::end(rules), [](const auto& rule) { return rule.first; });
  error = broken != std::end(rules) ? broken->second : error;
  return broken == std::end(rules);
}

}  // namespace

int main(int argc, char* argv[]) {
  InspectOptions options;
  Outcome o;
  std::string out;
  const bool parsed = parse_inspect_options(argc, argv, options, o.error);
  if (parsed) {
    o = run_checked(options, out);
  }
  // Once the parts are in place the run says so even when the report cannot be written, with a
  // status of its own; a closed pipe then fails the write rather than end the process unheard.
#ifdef SIGPIPE
  if (!o.extracted.empty()) {
    std::signal(SIGPIPE, SIG_IGN);
  }
#endif
  const bool out_broken = o.status != inspect_exit_error && !print_out(out);
  if (out_broken) {
    o.status = o.extracted.empty() ? inspect_exit_error : inspect_exit_unreported;
    o.error = (o.extracted.empty() ? "" : o.extracted + ", but the report could not be written: ") +
              "cannot write to standard output";
  }
  if (o.status == inspect_exit_error || o.status == inspect_exit_unreported) {
    print_error(o.error);
  }
  if (!parsed) {
    std::fputs(VELMORA_INSPECT_SYNOPSIS, stderr);
    std::fprintf(stderr, "Try '%s --help' for more.\n", program_name);
  }
  // With --json (before any "--", so a usage error too) a failed run prints an object as well,
  // "result": "error" and the reason, unless standard output failed.
  char** first = argv + std::min(argc, 1);
  char** end = std::find(first, argv + argc, std::string_view("--"));
  if (o.status == inspect_exit_error && !out_broken &&
      std::find(first, end, std::string_view("--json")) != end) {
    print_out(render_json(
        {{.items = {{"result", json_string("error")}, {"error", json_string(o.error)}}}}));
  }
  return o.status;
}
