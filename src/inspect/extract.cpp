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

// The directories of `dir` that do not exist yet, made from the outermost in, each pending
// until the parts are in place, so that a failure or a signal removes it again.
bool make_directories(const std::string& dir, std::vector<int>& made, std::string& error) {
  const auto fail = [&](const std::string& why) {
    error = dir + ": cannot create the directory: " + why;
    return false;
  };
  fs::path path;
  std::error_code ec;
  for (const fs::path& step : fs::path(dir)) {
    path /= step;
    hold_signals();  // a directory is made and noted as one step
    const bool created = fs::create_directory(path, ec);
    const bool noted =
        !created || made.emplace_back(add_pending_file(-1, path.string().c_str(), true)) >= 0;
    std::error_code ignored;
    if (!noted) {
      fs::remove(path, ignored);  // not noted, so no failure or signal would remove it
    }
    release_signals();
    // A file in the way is found below, or by the next step, as "not a directory".
    if ((ec && ec != std::errc::file_exists) || !noted) {
      return fail(ec ? ec.message() : "the path is too long or too deep");
    }
  }
  return fs::is_directory(dir, ec) ||
         fail(std::make_error_code(std::errc::not_a_directory).message());
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

// Puts the four in place by rename with every catchable signal held: all four new, or after a
// failure all four old again.
bool place_outputs(OutputFile (&outputs)[part_count], std::string& error) {
  hold_signals();
  std::size_t placed = 0;
  for (; placed < part_count; ++placed) {
    errno = 0;
    if (place_output_file(outputs[placed]) != OutputOutcome::ok) {
      error = cannot_write(outputs[placed]);
      break;
    }
  }
  const bool all = placed == part_count;
  for (std::size_t k = placed; k-- > 0;) {
    (all ? settle_output_file : restore_output_file)(outputs[k]);
  }
  release_signals();
  return all;
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
  const bool written = make_directories(dir, made, error) &&
                       write_outputs(image, image_regions(r.header), dir, outputs, error) &&
                       place_outputs(outputs, error);
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
