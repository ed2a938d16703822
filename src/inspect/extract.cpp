#include "inspect/extract.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

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

// One extracted file while it is written: its bytes go to a temporary file beside the target,
// which is renamed over the target only once every part is whole.
struct PartOutput {
  std::string target;
  std::string temporary;
  std::FILE* file = nullptr;
};

bool open_part_output(const std::string& target, PartOutput& out, std::string& error) {
  out.target = target;
  out.temporary = target + ".velmora-inspect-part";
  out.file = std::fopen(out.temporary.c_str(), "wb");
  if (out.file == nullptr) {
    error = target + ": cannot write: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool write_part_output(PartOutput& out, const std::uint8_t* bytes, std::int64_t count,
                       std::string& error) {
  const auto n = static_cast<std::size_t>(count);
  if (std::fwrite(bytes, 1, n, out.file) != n) {
    error = out.target + ": cannot write: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool close_part_output(PartOutput& out, std::string& error) {
  const bool closed = std::fclose(out.file) == 0;
  out.file = nullptr;
  if (!closed) {
    error = out.target + ": cannot write: " + std::strerror(errno);
  }
  return closed;
}

bool finish_part_output(PartOutput& out, std::string& error) {
  std::error_code ec;
  fs::rename(out.temporary, out.target, ec);
  if (ec) {
    error = out.target + ": cannot write: " + ec.message();
    return false;
  }
  out.temporary.clear();
  return true;
}

void discard_part_output(PartOutput& out) {
  if (out.file != nullptr) {
    std::fclose(out.file);
    out.file = nullptr;
  }
  if (!out.temporary.empty()) {
    std::remove(out.temporary.c_str());
    out.temporary.clear();
  }
}

// Streams one part of the image into its output, its words turned back where it is stored
// reversed; each stretch starts on a word of the part.
bool copy_part(const ByteSource& image, const Part& part, std::vector<std::uint8_t>& buffer,
               PartOutput& out, std::string& error) {
  for (std::int64_t done = 0; done < part.size;) {
    const std::int64_t n =
        std::min({part.size - done, stretch_bytes, static_cast<std::int64_t>(buffer.size())});
    if (!read_source(image, part.offset + done, buffer.data(), n, error)) {
      return false;
    }
    if (part.reversed) {
      reverse_word_bytes(buffer.data(), static_cast<std::size_t>(n));
    }
    if (!write_part_output(out, buffer.data(), n, error)) {
      return false;
    }
    done += n;
  }
  return close_part_output(out, error);
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
  // any failure on the way discards every one of them.
  PartOutput outputs[part_count];
  std::vector<std::uint8_t> buffer = stretch_buffer(image.length);
  bool ok = true;
  for (std::size_t i = 0; ok && i < part_count; ++i) {
    ok = open_part_output(targets[i].string(), outputs[i], error);
  }
  for (std::size_t i = 0; ok && i < part_count; ++i) {
    ok = copy_part(image, parts[i], buffer, outputs[i], error);
  }
  for (std::size_t i = 0; ok && i < part_count; ++i) {
    ok = finish_part_output(outputs[i], error);
  }
  if (!ok) {
    for (PartOutput& out : outputs) {
      discard_part_output(out);
    }
    return ExtractOutcome::cannot_write;
  }
  return ExtractOutcome::written;
}
