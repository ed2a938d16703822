// Writing an output file so that it ends up either as it was or whole, and stays the file the
// user had: same links, owner, group and mode.
//
// How an output is put in place depends on what the path names:
// - a new file, or a regular file with one link: the bytes go to a temporary file in the same
//   directory, which replaces the file only once it is whole (on Linux an unnamed temporary
//   file that gets a name only then);
// - a regular file that cannot be replaced that way (more hard links, a mount point, a sticky
//   directory of another user's file, a directory where no new file can be made, a path
//   through /dev/fd): written in place;
// - anything else (a pipe, a character device, a terminal): opened as given and written in
//   order.
#pragma once

#include <cstdint>
#include <string>

enum class OutputRoute {
  replace,   // a temporary file, put over the target when finished
  in_place,  // the target itself, cut to nothing before the first write
  staged,    // an unnamed temporary file elsewhere, copied into the target when finished
  stream,    // a pipe or device, written in order
};

struct OutputFile {
  OutputRoute route = OutputRoute::stream;
  int fd = -1;                  // where write_output puts the bytes
  int target_fd = -1;           // staged: the target, opened for writing
  bool started = false;         // in_place: the target has been cut to nothing
  std::string path;             // as given
  std::string target;           // replace: the file that finally gets the bytes
  std::string temporary;        // replace: the temporary file's name, once it has one
  bool existed = false;         // replace: the target existed before
  std::uint32_t old_mode = 0;   // replace, existed: the target's permission bits
  std::int64_t old_owner = -1;  // replace, existed: its user and group
  std::int64_t old_group = -1;
};

enum class OutputOutcome { ok, cannot_open, cannot_write };

// Prepares `path` for writing: the target keeps its bytes until the first write (in place)
// or until finish_output_file. cannot_open: a missing directory, a directory, an empty path,
// a file the user may not write. While a temporary file exists, SIGINT, SIGTERM, SIGHUP and
// SIGPIPE remove it before they end the process, and so does the failure ending; a file size
// limit fails a write instead of ending the process.
OutputOutcome open_output_file(const char* path, OutputFile& file);

// True when the bytes land in the user's file as they are written, so that an input that
// fails part way would leave it incomplete: read every input whole before writing, and write
// in order. False for a temporary file, which may also be written at any offset.
bool output_written_in_place(const OutputFile& file);

// An output written in place that is the same file as an input, open as `input_fd`, would
// be overwritten while it is still read: such an output is staged in a temporary file and
// copied into place when finished.
void separate_output_from_input(OutputFile& file, int input_fd);

// Appends `count` bytes; false when they were not all taken.
bool write_output(OutputFile& file, const std::uint8_t* bytes, std::int64_t count);
// Writes `count` bytes at `offset` of a temporary file (output_written_in_place is false).
bool write_output_at(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                     std::int64_t count);

// Puts the whole output in place and closes it. cannot_write leaves what discard leaves.
OutputOutcome finish_output_file(OutputFile& file);
// Gives up an unfinished output: its temporary file goes, a replaced file keeps its bytes.
void discard_output_file(OutputFile& file);

// The whole output from one block of memory: open, write, finish.
OutputOutcome write_file_from(const char* path, const std::uint8_t* source, std::int64_t length);

// The tool's own operations: each reports a failure through the failure ending, naming the
// path: "Can not open the path" (-1) when the output cannot be opened, "Can not write the
// path" (-4) when a byte was not written or the file could not be put in place.
void create_output_file(const char* path, OutputFile& file);
void store_output_bytes(OutputFile& file, const std::uint8_t* bytes, std::int64_t count);
void store_output_bytes_at(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                           std::int64_t count);
void store_output_file(OutputFile& file);
