#include "fileio/output_file.h"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include "common/fail.h"
#include "fileio/os_file.h"
#include "fileio/read_file.h"

using namespace output_platform;
namespace fs = std::filesystem;

namespace {

int hold_depth = 0;

void close_if_open(int& fd) {
  if (fd >= 0) {
    close_fd(fd);
    fd = -1;
  }
}

void forget_temporary_name(OutputFile& file) {
  drop_pending_file(file.pending_slot);
  file.pending_slot = -1;
  file.temporary.clear();
}

// The copy, from the temporary file, opened again by its name where the rename closed it (the
// discard that follows closes it and removes the name).
OutputOutcome copy_from_temporary(OutputFile& file) {
  if (file.fd < 0) {
    file.fd = open_temporary(file);
  }
  return file.fd >= 0 && copy_into_target(file) && close_fd(std::exchange(file.target_fd, -1)) == 0
             ? OutputOutcome::ok
             : OutputOutcome::cannot_write;
}

// By rename, or by copy where the output was not made for one or the rename cannot replace
// the target as it is; a rename-only output is never copied.
OutputOutcome put_in_place(OutputFile& file, bool keep_old) {
  if (file.fd < 0) {
    return OutputOutcome::cannot_write;
  }
  const Renamed renamed = file.by_rename ? rename_temporary(file, keep_old) : Renamed::copy_instead;
  if (renamed != Renamed::done) {
    return renamed == Renamed::copy_instead && !file.rename_only ? copy_from_temporary(file)
                                                                 : OutputOutcome::cannot_write;
  }
  // The name is the target's now: nothing is left to remove.
  forget_temporary_name(file);
  file.placed = true;
  return OutputOutcome::ok;
}

[[noreturn]] void discard_and_fail(OutputFile& file) {
  discard_output_file(file);
  fail_cannot_write(file.path.c_str());
}

}  // namespace

OutputOutcome open_output_file(const char* path, OutputFile& file, OutputRoute route) {
  file = OutputFile{};
  file.path = path;
  file.rename_only = route == OutputRoute::rename_only;
  return open_target(path, file);
}

bool write_output_at(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                     std::int64_t count) {
  return file.fd >= 0 && write_all_at(file.fd, offset, bytes, count);
}

OutputOutcome finish_output_file(OutputFile& file) {
  hold_signals();
  const OutputOutcome outcome = put_in_place(file, false);
  discard_output_file(file);
  release_signals();
  return outcome;
}

std::size_t place_output_files(OutputFile* files, std::size_t count) {
  hold_signals();
  std::size_t placed = 0;
  for (errno = 0; placed < count && put_in_place(files[placed], true) == OutputOutcome::ok;) {
    ++placed;
    errno = 0;
  }
  if (placed < count) {
    discard_output_file(files[placed]);
  }
  const int failure = errno;
  // All placed: the old files' second names go. Else each placed one is undone, the last first.
  for (std::size_t k = placed; k-- > 0;) {
    if (placed < count && files[k].placed) {
      undo_rename(files[k]);
    } else if (placed == count && !files[k].backup.empty()) {
      remove_name(files[k], files[k].backup);
    }
    discard_output_file(files[k]);
  }
  release_signals();
  errno = failure;
  return placed;
}

bool make_pending_directories(const std::string& dir, std::vector<int>& made, std::string& error) {
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

void discard_output_file(OutputFile& file) {
  close_if_open(file.fd);
  if (!file.temporary.empty()) {
    remove_name(file, file.temporary);
  }
  forget_temporary_name(file);
  close_if_open(file.target_fd);
  close_if_open(file.dir_fd);
  file.placed = false;
  file.backup.clear();
}

void hold_signals() {
  if (hold_depth++ == 0) {
    hold_all_signals(true);
  }
}

void release_signals() {
  if (hold_depth > 0 && --hold_depth == 0) {
    hold_all_signals(false);
  }
}

void open_output_or_fail(const char* path, OutputFile& file) {
  if (open_output_file(path, file) != OutputOutcome::ok) {
    discard_output_file(file);
    fail_cannot_open(path);
  }
}

void reserve_output_or_fail(OutputFile& file, std::int64_t length) {
  if (file.fd < 0 || !reserve_length(file.fd, length)) {
    discard_and_fail(file);
  }
}

void write_output_or_fail(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                          std::int64_t count) {
  if (!write_output_at(file, offset, bytes, count)) {
    discard_and_fail(file);
  }
}

void finish_output_or_fail(OutputFile& file) {
  if (finish_output_file(file) != OutputOutcome::ok) {
    discard_and_fail(file);
  }
}
