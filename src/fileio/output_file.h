// Writing an output file so that it ends up either as it was or whole, and stays the file the
// user had: same links, owner, group, mode, access control list and extended attributes.
//
// Every output is made in a temporary file: in the target's directory where a file can be made
// there (unnamed where the system allows), else an unnamed one in the system's temporary
// directory. Once whole it is put in place in one of two ways:
// - rename: the temporary takes the target's name. For a new file, and for a regular file with
//   one link whose owner, group, mode and extended attributes (the access control list among
//   them) the temporary can take on.
// - copy: the temporary's bytes are copied into the target. For everything else: a file with
//   other hard links, a symbolic link (followed by the system's own open, as any program
//   writing a file follows it), a mount point, another user's file, a file whose attributes
//   cannot be carried over, a file in a directory where no file can be made, a pipe, a FIFO or
//   a device.
// A failure or a signal before the output is put in place leaves the target untouched.
#pragma once

#include <cstdint>
#include <string>

enum class OutputFinish { rename, copy };

struct OutputFile {
  OutputFinish finish = OutputFinish::copy;
  std::string path;            // as given
  int fd = -1;                 // the temporary file, written at any offset
  std::string temporary;       // its name beside the target while it has one
  int pending_slot = -1;       // that name's slot among the files a failure or a signal removes
  int target_fd = -1;          // the existing target, open for writing but not yet written
  bool create_target = false;  // a symbolic link to no file: it is created through the link
  // POSIX: the directory of the path's last name, and that name.
  int dir_fd = -1;
  std::string name;
  // Windows: the target's full path, and whether it existed.
  std::string target;
  bool existed = false;
  // Once placed, what restore_output_file needs to put the old file back.
  bool placed = false;
  std::string backup;              // rename over an existing file: a second name of the old file
  int saved_fd = -1;               // copy into a regular file: a copy of its old bytes
  std::int64_t placed_inode = -1;  // rename of a new file: the file now under the name
  bool created = false;            // copy through a link to no file: the file it created
};

enum class OutputOutcome { ok, cannot_open, cannot_write };

// Prepares `path` for writing; the target keeps its bytes until the output is placed.
// cannot_open: an empty path, a missing directory, a directory, a file the user may not write,
// a link the system will not follow, a new file in a directory where none can be made, and
// the file that standard output writes to (regular file, pipe, FIFO or socket: the console
// text would mix with the bytes). With `wait_for_reader` false, a FIFO without a reader is
// refused (cannot_open, errno ENXIO) instead of waited for. While a temporary file has a name,
// every signal that would end the process removes it first, and so does the failure ending;
// a file size limit fails a write instead of ending the process.
OutputOutcome open_output_file(const char* path, OutputFile& file, bool wait_for_reader = true);

// Writes `count` bytes at `offset` of the temporary file; false when they were not all taken.
bool write_output_at(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                     std::int64_t count);

// True when the target exists and is the same file as the open descriptor `fd`.
bool output_is_file(const OutputFile& file, int fd);

// Puts the whole output in place and closes everything. cannot_write: by rename, the target
// as it was; by copy, what README says a failed copy leaves.
OutputOutcome finish_output_file(OutputFile& file);
// Gives up an output that is not placed: its temporary file goes, the target keeps its bytes.
void discard_output_file(OutputFile& file);

// For several outputs that go in place together or not at all: place_output_file puts one in
// place but keeps what restore_output_file needs to put the old file back (a second name, a
// copy of the old bytes); settle_output_file then lets go of that. Bytes written into a pipe
// or a device cannot be taken back.
OutputOutcome place_output_file(OutputFile& file);
void restore_output_file(OutputFile& file);
void settle_output_file(OutputFile& file);

// velmora's own operations: each reports a failure through the failure ending, naming the
// path: "Can not open the path" (-1) when the output cannot be opened, "Can not write the
// path" (-4) when there is no room for the output, a byte was not written or the file could
// not be put in place.
void open_output_or_fail(const char* path, OutputFile& file);
// reserve_output_or_fail gives the temporary file room for its first `length` bytes where the
// file system can reserve it, and fails when the file system has no room for them.
void reserve_output_or_fail(OutputFile& file, std::int64_t length);
void write_output_or_fail(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                          std::int64_t count);
void finish_output_or_fail(OutputFile& file);
