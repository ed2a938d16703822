#include "inspect/inspect_run.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "fileio/output_file.h"
#include "fileio/whole_file.h"
#include "image/layout.h"
#include "image/word_reverse.h"
#include "inspect/report_format.h"

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION must be defined by the build"
#endif

namespace fs = std::filesystem;

const char inspect_usage[] =
    "Usage: velmora-inspect [--json] [--extract DIR [--force]] IMAGE\n"
    "Shows what a download image composed by velmora holds and checks every checksum\n"
    "and field.\n"
    "\n"
    "  --json         print the report as one JSON object\n"
    "  --extract DIR  also write boot.bin, header.bin, app1.bin and app2.bin into DIR,\n"
    "                 creating it if needed; app1.bin and app2.bin are un-reversed\n"
    "  --force        let --extract replace files that exist already\n"
    "  --help         print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status: 0 when every check passes (warnings allowed), 1 when a check fails,\n"
    "2 for a usage error or a file that cannot be read or written.\n";

namespace {

constexpr char program_name[] = "velmora-inspect";

void print_error(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program_name, message.c_str());
}

int usage_error(const std::string& message) {
  print_error(message);
  std::fprintf(stderr, "Usage: %s [--json] [--extract DIR [--force]] IMAGE\n", program_name);
  std::fprintf(stderr, "Try '%s --help' for more.\n", program_name);
  return inspect_exit_error;
}

bool write_stdout(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

struct Part {
  const char* name;
  std::int64_t offset;
  std::int64_t size;
  bool reversed;
};

bool write_part(const fs::path& to, const std::uint8_t* bytes, const Part& part) {
  const std::uint8_t* from = bytes + part.offset;
  const auto count = static_cast<std::size_t>(part.size);
  std::vector<std::uint8_t> unreversed;
  if (part.reversed) {
    unreversed.assign(from, from + count);
    reverse_word_bytes(unreversed.data(), count);
    from = unreversed.data();
  }
  return write_file_from(to.string().c_str(), from, part.size) == OutputOutcome::ok;
}

}  // namespace

bool parse_inspect_options(int argc, char* const argv[], InspectOptions& options,
                           std::string& error) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
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
    } else if (std::strcmp(word, "--force") == 0) {
      options.force = true;
    } else if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0) {
      options.help = true;
    } else if (std::strcmp(word, "--version") == 0) {
      options.version = true;
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
  if (options.help || options.version) {
    return true;
  }
  if (options.image == nullptr) {
    error = "no image given";
    return false;
  }
  if (options.force && options.extract_dir == nullptr) {
    error = "--force only applies to --extract";
    return false;
  }
  return true;
}

bool load_image(const char* path, std::vector<std::uint8_t>& bytes, std::string& error) {
  const std::string cannot_open =
      std::string(path) + ": cannot open: missing, unreadable, or not a regular file";
  const FileLength found = query_file_length(path);
  if (found.outcome == LengthOutcome::cannot_open) {
    error = cannot_open;
    return false;
  }
  if (found.outcome == LengthOutcome::unusable) {
    error = std::string(path) + ": cannot read: 2 GiB or larger, or of unknown length";
    return false;
  }
  try {
    bytes.assign(static_cast<std::size_t>(found.length), 0);
  } catch (const std::bad_alloc&) {
    error = std::string(path) + ": cannot read: not enough memory for the whole file";
    return false;
  }
  switch (read_file_into(path, bytes.data(), found.length)) {
    case ReadOutcome::ok:
      return true;
    case ReadOutcome::cannot_open:
      error = cannot_open;
      return false;
    case ReadOutcome::short_read:
      error = std::string(path) + ": cannot read: the file ended early or changed while read";
      return false;
  }
  return false;
}

ExtractOutcome extract_parts(const std::uint8_t* bytes, const InspectReport& r,
                             const std::string& dir, bool force, std::string& error) {
  if (!r.header_present || !r.app1.in_file || !r.app2.in_file) {
    error = "cannot extract: the header or an application lies past the end of the file";
    return ExtractOutcome::not_in_file;
  }
  const Part parts[] = {
      {"boot.bin", bootloader_offset, bootloader_region_size, false},
      {"header.bin", header_offset, static_cast<std::int64_t>(header_size), false},
      {"app1.bin", r.app1.stored.offset, r.app1.stored.size, r.app1.high_window},
      {"app2.bin", r.app2.stored.offset, r.app2.stored.size, r.app2.high_window},
  };

  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir, ec)) {
    error = dir + ": cannot create the directory or it is not one";
    return ExtractOutcome::cannot_write;
  }
  // Every refusal comes before the first write, so that a refused run writes nothing. A link
  // counts as an existing file even when it points nowhere, since it would be followed.
  if (!force) {
    for (const Part& part : parts) {
      const fs::path to = fs::path(dir) / part.name;
      if (fs::exists(fs::symlink_status(to, ec))) {
        error = to.string() + ": exists already (use --force to replace it)";
        return ExtractOutcome::exists;
      }
    }
  }
  for (const Part& part : parts) {
    const fs::path to = fs::path(dir) / part.name;
    if (!write_part(to, bytes, part)) {
      error = to.string() + ": cannot write";
      return ExtractOutcome::cannot_write;
    }
  }
  return ExtractOutcome::written;
}

int run_inspect(int argc, char* const argv[]) {
  InspectOptions options;
  std::string error;
  if (!parse_inspect_options(argc, argv, options, error)) {
    return usage_error(error);
  }
  if (options.help) {
    return write_stdout(inspect_usage) && std::fflush(stdout) == 0 ? inspect_exit_pass
                                                                   : inspect_exit_error;
  }
  if (options.version) {
    std::printf("%s %s\n", program_name, VELMORA_VERSION);
    return std::fflush(stdout) == 0 ? inspect_exit_pass : inspect_exit_error;
  }

  std::vector<std::uint8_t> bytes;
  if (!load_image(options.image, bytes, error)) {
    print_error(error);
    return inspect_exit_error;
  }
  const InspectReport report = inspect_image(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  const std::string text =
      options.json ? report_json(options.image, report) : report_text(options.image, report);
  if (!write_stdout(text) || std::fflush(stdout) != 0) {
    print_error("cannot write the report to standard output");
    return inspect_exit_error;
  }

  int status = report_exit_status(report);
  if (options.extract_dir != nullptr) {
    switch (extract_parts(bytes.data(), report, options.extract_dir, options.force, error)) {
      case ExtractOutcome::written:
        if (!options.json) {
          std::printf("extracted boot.bin, header.bin, app1.bin and app2.bin into %s\n",
                      options.extract_dir);
        }
        break;
      case ExtractOutcome::not_in_file:
        // The checks have failed already and say why.
        print_error(error);
        break;
      case ExtractOutcome::exists:
      case ExtractOutcome::cannot_write:
        print_error(error);
        status = inspect_exit_error;
        break;
    }
  }
  return std::fflush(stdout) == 0 ? status : inspect_exit_error;
}
