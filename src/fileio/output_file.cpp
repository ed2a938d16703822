#include "fileio/output_file.h"

#include "fileio/os_file.h"
#include "fileio/output_platform.h"
#include "fileio/read_file.h"

bool write_output_at(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                     std::int64_t count) {
  return file.fd >= 0 && write_all_at(file.fd, offset, bytes, count);
}

OutputOutcome place_output_file(OutputFile& file) {
  const OutputOutcome outcome = put_output_in_place(file, true);
  if (outcome != OutputOutcome::ok) {
    discard_output_file(file);
  }
  return outcome;
}

OutputOutcome finish_output_file(OutputFile& file) {
  const OutputOutcome outcome = put_output_in_place(file, false);
  if (outcome == OutputOutcome::ok) {
    settle_output_file(file);
  } else {
    discard_output_file(file);
  }
  return outcome;
}

void open_output_or_fail(const char* path, OutputFile& file) {
  if (open_output_file(path, file) != OutputOutcome::ok) {
    discard_output_file(file);
    fail_cannot_open(path);
  }
}

void reserve_output_or_fail(OutputFile& file, std::int64_t length) {
  if (file.fd < 0 || !reserve_length(file.fd, length)) {
    discard_output_file(file);
    fail_cannot_write(file.path.c_str());
  }
}

void write_output_or_fail(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                          std::int64_t count) {
  if (!write_output_at(file, offset, bytes, count)) {
    discard_output_file(file);
    fail_cannot_write(file.path.c_str());
  }
}

void finish_output_or_fail(OutputFile& file) {
  if (finish_output_file(file) != OutputOutcome::ok) {
    fail_cannot_write(file.path.c_str());
  }
}
