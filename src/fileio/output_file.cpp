#include "fileio/output_file.h"

#include "common/fail.h"
#include "fileio/os_file.h"
#include "fileio/output_platform.h"

namespace {

// A file written in place keeps its old bytes until the first byte of the new ones is
// written, so that a failure before that changes nothing.
bool start_in_place(OutputFile& file) {
  if (file.route != OutputRoute::in_place || file.started) {
    return true;
  }
  file.started = true;
  return truncate_fd(file.fd, 0);
}

}  // namespace

bool output_written_in_place(const OutputFile& file) {
  return file.route != OutputRoute::replace;
}

void separate_output_from_input(OutputFile& file, int input_fd) {
  if (file.route != OutputRoute::in_place || !same_file(file.fd, input_fd)) {
    return;
  }
  file.route = OutputRoute::staged;
  file.target_fd = file.fd;
  file.fd = create_stage();
}

bool write_output(OutputFile& file, const std::uint8_t* bytes, std::int64_t count) {
  return file.fd >= 0 && start_in_place(file) && write_all(file.fd, bytes, count);
}

bool write_output_at(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                     std::int64_t count) {
  return file.route == OutputRoute::replace && write_all_at(file.fd, offset, bytes, count);
}

OutputOutcome finish_output_file(OutputFile& file) {
  OutputOutcome outcome = OutputOutcome::cannot_write;
  if (file.fd >= 0) {
    switch (file.route) {
      case OutputRoute::replace:
        outcome = replace_target(file);
        break;
      case OutputRoute::staged: {
        const bool copied = copy_contents(file.fd, file.target_fd);
        const bool closed = close_fd(file.target_fd) == 0;
        file.target_fd = -1;
        outcome = copied && closed ? OutputOutcome::ok : OutputOutcome::cannot_write;
        break;
      }
      case OutputRoute::in_place:
      case OutputRoute::stream: {
        const bool started = start_in_place(file);
        const bool closed = close_fd(file.fd) == 0;
        file.fd = -1;
        outcome = started && closed ? OutputOutcome::ok : OutputOutcome::cannot_write;
        break;
      }
    }
  }
  // What is left is a temporary file after a copy into place, or after a failure.
  discard_output_file(file);
  return outcome;
}

void discard_output_file(OutputFile& file) {
  if (file.fd >= 0) {
    close_fd(file.fd);
    file.fd = -1;
  }
  if (file.target_fd >= 0) {
    close_fd(file.target_fd);
    file.target_fd = -1;
  }
  remove_pending_file();
  file.temporary.clear();
}

OutputOutcome write_file_from(const char* path, const std::uint8_t* source, std::int64_t length) {
  OutputFile file;
  const OutputOutcome opened = open_output_file(path, file);
  if (opened != OutputOutcome::ok) {
    return opened;
  }
  if (!write_output(file, source, length)) {
    discard_output_file(file);
    return OutputOutcome::cannot_write;
  }
  return finish_output_file(file);
}

namespace {

[[noreturn]] void fail_to_write(const OutputFile& file) {
  fail_and_wait(exit_cannot_write, "\nCan not write the path: %s \n", file.path.c_str());
}

}  // namespace

void create_output_file(const char* path, OutputFile& file) {
  if (open_output_file(path, file) != OutputOutcome::ok) {
    fail_and_wait(exit_cannot_open, "\nCan not open the path: %s \n", path);
  }
}

void store_output_bytes(OutputFile& file, const std::uint8_t* bytes, std::int64_t count) {
  if (!write_output(file, bytes, count)) {
    discard_output_file(file);
    fail_to_write(file);
  }
}

void store_output_bytes_at(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                           std::int64_t count) {
  if (!write_output_at(file, offset, bytes, count)) {
    discard_output_file(file);
    fail_to_write(file);
  }
}

void store_output_file(OutputFile& file) {
  if (finish_output_file(file) != OutputOutcome::ok) {
    fail_to_write(file);
  }
}
