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
  if (error_number == ENXIO) {
    return "a FIFO or device that no one reads (writing would wait)";
  }
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
    if (!write_output_at(out, done, buffer.data(), n)) {
      error = out.path + ": cannot write: " + reason(errno);
      return false;
    }
    done += n;
  }
  return true;
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

  // All four outputs are opened and written first, then all are put in place; a failure on
  // the way discards every one, and one while they are put in place puts back the old files
  // of those already placed. Parts that are renamed go first; parts copied into a file (one
  // with other names, a device) last, since bytes written into a device cannot be taken back.
  OutputFile outputs[part_count];
  const auto give_up = [&](std::size_t placed_count, const std::size_t* order) {
    for (std::size_t k = placed_count; k-- > 0;) {
      restore_output_file(outputs[order[k]]);
    }
    for (OutputFile& out : outputs) {
      discard_output_file(out);
    }
    return ExtractOutcome::cannot_write;
  };
  std::vector<std::uint8_t> buffer = stretch_buffer(image.length);
  for (std::size_t i = 0; i < part_count; ++i) {
    errno = 0;
    if (open_output_file(targets[i].string().c_str(), outputs[i], false) != OutputOutcome::ok) {
      error = targets[i].string() + ": cannot write: " + reason(errno);
      return give_up(0, nullptr);
    }
    if (image.file != nullptr && output_is_file(outputs[i], image.file->fd)) {
      error = targets[i].string() + ": cannot write: it is the image being read";
      return give_up(0, nullptr);
    }
    if (!copy_part(image, parts[i], buffer, outputs[i], error)) {
      return give_up(0, nullptr);
    }
  }
  std::size_t order[part_count];
  std::size_t placed = 0;
  for (const OutputFinish finish : {OutputFinish::rename, OutputFinish::copy}) {
    for (std::size_t i = 0; i < part_count; ++i) {
      if (outputs[i].finish == finish) {
        order[placed++] = i;
      }
    }
  }
  for (std::size_t k = 0; k < part_count; ++k) {
    errno = 0;
    if (place_output_file(outputs[order[k]]) != OutputOutcome::ok) {
      error = targets[order[k]].string() + ": cannot write: " + reason(errno);
      return give_up(k, order);
    }
  }
  for (OutputFile& out : outputs) {
    settle_output_file(out);
  }
  return ExtractOutcome::written;
}
