#include "inspect/extract.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "fileio/output_file.h"
#include "image/layout.h"
#include "image/word_reverse.h"

namespace fs = std::filesystem;

namespace {

struct Part {
  const char* name;
  std::int64_t offset;
  std::int64_t size;
  bool reversed;
};

// The system's text for the failure just seen, where it left one.
std::string reason(int error_number) {
  return error_number != 0 ? std::strerror(error_number) : "the output could not be put in place";
}

// Streams one part of the image into its output, its words turned back where it is stored
// reversed; each stretch starts on a word of the part.
bool copy_part(const ByteSource& image, const Part& part, std::vector<std::uint8_t>& buffer,
               OutputFile& out, std::string& error) {
  for (std::int64_t done = 0; done < part.size;) {
    const std::int64_t n =
        std::min({part.size - done, stretch_bytes, static_cast<std::int64_t>(buffer.size())});
    if (!read_source(image, part.offset + done, buffer.data(), n, error)) {
      return false;
    }
    if (part.reversed) {
      reverse_word_bytes(buffer.data(), static_cast<std::size_t>(n));
    }
    errno = 0;
    if (!write_output(out, buffer.data(), n)) {
      error = out.path + ": cannot write: " + reason(errno);
      return false;
    }
    done += n;
  }
  return true;
}

// Gives up every output. A temporary file that has a name is removed by its own name as
// well, since the output routine keeps only the latest one for its signal handlers.
void discard_all(OutputFile* outputs, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::string temporary = outputs[i].temporary;
    discard_output_file(outputs[i]);
    if (!temporary.empty()) {
      std::remove(temporary.c_str());
    }
  }
}

// Every target checked before any output is opened: a target that exists refuses the whole
// extraction without --force, and one that is a directory refuses it always. A link counts as
// existing even when it points nowhere, since writing would follow it.
ExtractOutcome check_targets(const std::vector<fs::path>& targets, bool force, std::string& error) {
  for (const fs::path& to : targets) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(to, ec);
    if (!fs::exists(st)) {
      continue;
    }
    if (!force) {
      error = to.string() + ": exists already (use --force to replace it)";
      return ExtractOutcome::exists;
    }
    if (fs::is_directory(fs::status(to, ec))) {
      error = to.string() +
              ": cannot write: " + std::make_error_code(std::errc::is_a_directory).message();
      return ExtractOutcome::cannot_write;
    }
  }
  return ExtractOutcome::written;
}

}  // namespace

ExtractOutcome extract_parts(const ByteSource& image, const InspectReport& r,
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
  constexpr std::size_t part_count = std::size(parts);

  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    error = dir + ": cannot create the directory: " + ec.message();
    return ExtractOutcome::cannot_write;
  }
  if (!fs::is_directory(dir, ec)) {
    error = dir + ": cannot create the directory: " +
            std::make_error_code(std::errc::not_a_directory).message();
    return ExtractOutcome::cannot_write;
  }
  std::vector<fs::path> targets;
  for (const Part& part : parts) {
    targets.push_back(fs::path(dir) / part.name);
  }
  const ExtractOutcome checked = check_targets(targets, force, error);
  if (checked != ExtractOutcome::written) {
    return checked;
  }

  // All four outputs are opened first, all are written, and only then are all put in place;
  // any failure on the way discards every one of them. A part that must be written in place
  // (an existing file with other hard links, a device) cannot be taken back, so those parts
  // are written after all the others.
  OutputFile outputs[part_count];
  std::vector<std::uint8_t> buffer = stretch_buffer(image.length);
  for (std::size_t i = 0; i < part_count; ++i) {
    errno = 0;
    if (open_output_file(targets[i].string().c_str(), outputs[i]) != OutputOutcome::ok) {
      error = targets[i].string() + ": cannot write: " + reason(errno);
      discard_all(outputs, part_count);
      return ExtractOutcome::cannot_write;
    }
  }
  for (const bool in_place : {false, true}) {
    for (std::size_t i = 0; i < part_count; ++i) {
      if (output_written_in_place(outputs[i]) == in_place &&
          !copy_part(image, parts[i], buffer, outputs[i], error)) {
        discard_all(outputs, part_count);
        return ExtractOutcome::cannot_write;
      }
    }
  }
  for (std::size_t i = 0; i < part_count; ++i) {
    errno = 0;
    if (finish_output_file(outputs[i]) != OutputOutcome::ok) {
      error = targets[i].string() + ": cannot write: " + reason(errno);
      discard_all(outputs, part_count);
      return ExtractOutcome::cannot_write;
    }
  }
  return ExtractOutcome::written;
}
