#include "inspect/inspect.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <vector>

#include "common/fail.h"
#include "fileio/output_file.h"

namespace fs = std::filesystem;

namespace {

constexpr Region part_regions[] = {bootloader_region, header_region, app1_region, app2_region};
constexpr const char* part_files[] = {"boot.bin", "header.bin", "app1.bin", "app2.bin"};
constexpr std::size_t part_count = std::size(part_files);

// Why a target was refused or could not be written: the extraction's own reason, else the
// system's text for the failure just seen.
std::string cannot_write(const OutputFile& out) {
  const std::string why = out.refusal[0] != '\0' ? out.refusal
                          : errno != 0           ? std::strerror(errno)
                                                 : "the output could not be put in place";
  return out.path + ": cannot write: " + why;
}

// Opens the four outputs, then writes into each temporary its part, streamed from the image a
// stretch at a time with its words turned back where it is stored reversed, before any is placed.
bool write_outputs(const ByteSource& image, const ImageRegions& regions, const std::string& dir,
                   OutputFile (&outputs)[part_count], std::string& error) {
  for (std::size_t i = 0; i < part_count; ++i) {
    errno = 0;
    if (open_output_file((fs::path(dir) / part_files[i]).string().c_str(), outputs[i],
                         OutputRoute::rename_only) != OutputOutcome::ok) {
      error = cannot_write(outputs[i]);
      return false;
    }
    if (image.file != nullptr && output_is_file(outputs[i], image.file->fd)) {
      error = outputs[i].path + ": cannot write: it is the image being read";
      return false;
    }
  }
  for (std::size_t i = 0; i < part_count; ++i) {
    const RegionSpan& part = regions[part_regions[i]];
    Stretch st = stretches(image, part.offset, part.end, part.reversed);
    while (next_stretch(st, error)) {
      errno = 0;
      if (!write_output_at(outputs[i], st.at - st.n - part.offset, st.bytes.data(), st.n)) {
        error = cannot_write(outputs[i]);
        return false;
      }
    }
    if (st.at < st.end) {
      return false;  // a read failed, and `error` says why
    }
  }
  return source_ends_at_length(image, error);
}

}  // namespace

ExtractOutcome extract_parts(const ByteSource& image, const InspectReport& r,
                             const std::string& dir, bool force, std::string& error) {
  if (!r.header_present || !r.app1.in_file || !r.app2.in_file) {
    error = "cannot extract: the header or an application lies past the end of the file";
    return ExtractOutcome::not_in_file;
  }
  for (const char* file : part_files) {
    // Without --force a target that exists, a symbolic link even to no file, refuses the
    // whole extraction.
    const fs::path target = fs::path(dir) / file;
    std::error_code ec;
    if (!force && fs::exists(fs::symlink_status(target, ec))) {
      error = target.string() + ": exists already (use --force to replace it)";
      return ExtractOutcome::exists;
    }
  }
  std::vector<int> made;
  OutputFile outputs[part_count];
  bool written = make_pending_directories(dir, made, error) &&
                 write_outputs(image, image_regions(r.header), dir, outputs, error);
  // All four in place, or all four old again.
  const std::size_t placed = written ? place_output_files(outputs, part_count) : 0;
  if (written && placed < part_count) {
    error = cannot_write(outputs[placed]);
    written = false;
  }
  for (OutputFile& out : outputs) {
    discard_output_file(out);
  }
  if (!written) {
    remove_pending_files();  // the directories this run made, the innermost first
    return ExtractOutcome::cannot_write;
  }
  for (const int slot : made) {
    drop_pending_file(slot);
  }
  return ExtractOutcome::written;
}
