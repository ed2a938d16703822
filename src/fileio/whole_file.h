// Whole-file access: learn a file's length and read a file into place. Files are opened in
// binary mode; outputs are written through output_file.h.
#pragma once

#include <cstdint>

// Largest length the tool works with: lengths are signed 32-bit numbers.
inline constexpr std::int64_t max_file_length = INT32_MAX;

// Outcomes of the checked operations, for callers that report failures themselves.
enum class LengthOutcome { ok, cannot_open, unusable };
enum class ReadOutcome { ok, cannot_open, short_read };

struct FileLength {
  LengthOutcome outcome = LengthOutcome::cannot_open;
  std::int64_t length = 0;  // valid when outcome is ok: 0 to max_file_length
};

// Only regular files open: a directory, a pipe or a device counts as a file that cannot be
// opened, and opening one never waits for a writer.
FileLength query_file_length(const char* path);
// Reads exactly `length` bytes from the start of the file into `destination`.
ReadOutcome read_file_into(const char* path, std::uint8_t* destination, std::int64_t length);

// The tool's own operations: each reports a failure through the failure ending.
// 0 for a file that cannot be opened (its later read reports it); a file of 2 GiB or more,
// or of unknown length, ends the run.
std::int32_t get_file_length(const char* path);
void load_input_file(const char* path, std::uint8_t* destination, std::int32_t length);

// An input file read in several stretches, for a caller that works on each stretch while it
// is still in the processor's cache. Unlike the operations above, its handle outlives one call:
// open_input_file, then read_input_stretch as often as needed, then close_input_file.
struct InputFile {
  int fd = -1;
  const char* path = "";
};

// Opens a regular file for reading, or ends the run as load_input_file does when it cannot.
InputFile open_input_file(const char* path);
// Reads the next `length` bytes into `destination`; a file that delivers fewer ends the run as
// load_input_file does after a short read.
void read_input_stretch(InputFile& file, std::uint8_t* destination, std::int64_t length);
// Goes back to the first byte, for a second reading of the same file.
void rewind_input_file(InputFile& file);
void close_input_file(InputFile& file);
