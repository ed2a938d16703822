// Writing an output file so that it ends up either as it was or whole, and stays the file the
// user had: same links, owner, group, mode, access control list and extended attributes.
//
// Every output is made in a temporary file, beside the target where a file can be made there
// (unnamed where the system allows), else in the system's temporary directory. Once whole it
// is put in place by rename (the temporary takes the target's name) for a new file, a link to
// no file included, and for a regular file with one link whose owner, group, mode and
// extended attributes the temporary can take on; else by copy into the target: a file with
// other hard links, a link to a file (followed as any program writing a file follows it), a
// mount point, another user's file, a file in a directory where no file can be made, a pipe,
// a FIFO or a device. A failure or a signal before the output is put in place leaves the
// target untouched. While it is put in place every catchable signal is held, and acted on once
// the output is whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How a target may be put in place: velmora's rename or copy, or by rename only, where every
// target that a rename cannot replace keeping what it is is refused when it is opened.
enum class OutputRoute { rename_or_copy, rename_only };

struct OutputFile {
  bool by_rename = false;  // put in place by rename, else by a copy into the target
  bool rename_only = false;
  std::string path;          // as given
  int fd = -1;               // the temporary file, written at any offset
  std::string temporary;     // its name beside the target while it has one
  int pending_slot = -1;     // that name's slot among the files a failure or a signal removes
  int target_fd = -1;        // the existing target, open for writing but not yet written
  bool existed = false;      // whether the rename replaces a file
  const char* refusal = "";  // with rename_only: why a target is refused, when not errno's
  int dir_fd = -1;           // POSIX: the directory the file is made in, and its name there
  std::string name;          // (on Windows, the target's full path)
  // Once placed, what undoing it needs to put the old file back.
  bool placed = false;
  std::string backup;              // a second name of the old file
  std::int64_t placed_inode = -1;  // a new file: the file now under the name
};

enum class OutputOutcome { ok, cannot_open, cannot_write };

// Prepares `path` for writing; the target keeps its bytes until the output is placed.
// cannot_open: an empty path, a missing directory, a directory, a file the user may not write,
// a link the system will not follow, a new file in a directory where none can be made, and
// the file that standard output writes to (regular file, pipe, FIFO or socket: the console
// text would mix with the bytes). With rename_only, also every target a rename cannot replace
// as it is, `refusal` saying which; a FIFO is refused, never waited for. While a temporary
// file has a name, every signal that would end the process removes it first, and so does the
// failure ending; a file size limit fails a write instead of ending the process.
OutputOutcome open_output_file(const char* path, OutputFile& file,
                               OutputRoute route = OutputRoute::rename_or_copy);

// Writes `count` bytes at `offset` of the temporary file; false when they were not all taken.
bool write_output_at(OutputFile& file, std::int64_t offset, const std::uint8_t* bytes,
                     std::int64_t count);

// True when the target exists and is the same file as the open descriptor `fd`.
bool output_is_file(const OutputFile& file, int fd);

// Puts the whole output in place and closes everything, with signals held. cannot_write: by
// rename, the target as it was; by copy, a regular file cut where the copy failed.
OutputOutcome finish_output_file(OutputFile& file);
// Gives up an output that is not placed: its temporary file goes, the target keeps its bytes.
void discard_output_file(OutputFile& file);

// Puts several rename-only outputs in place together, with every catchable signal held: all of
// them, or after a failure none, each old file back under its name. Returns `count`, or the
// index of the output that failed, errno as its failure left it.
std::size_t place_output_files(OutputFile* files, std::size_t count);

// Makes the directories of `dir` that do not exist yet, from the outermost in, each made and
// noted as a pending file in one step with signals held, so that a failure or a signal removes
// it again until the caller drops its slot from `made`. False, with `error` naming `dir` and
// the reason, where one cannot be made or noted, or `dir` is not a directory.
bool make_pending_directories(const std::string& dir, std::vector<int>& made, std::string& error);

// Holds every catchable signal (a Ctrl-C, a closed console) until the matching release, which
// then acts on any that came. Holds nest.
void hold_signals();
void release_signals();

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

// What each system supplies to the routine in output_file.cpp (output_file_posix.cpp,
// output_file_win32.cpp); no other file calls these.
namespace output_platform {
// The target looked at and opened, `by_rename` chosen and the temporary file made.
OutputOutcome open_target(const char* path, OutputFile& file);
// The temporary file, given the existing target's owner, group, mode and attributes, named
// beside it and closed, takes the target's name; with `keep_old`, the old file keeps a second
// name in `backup`. copy_instead where the target may still be written in place.
enum class Renamed { done, failed, copy_instead };
Renamed rename_temporary(OutputFile& file, bool keep_old);
// The target's bytes replaced with the temporary file's, its mode kept; the routine closes it.
bool copy_into_target(OutputFile& file);
// The named temporary opened for reading.
int open_temporary(const OutputFile& file);
// A placed file undone: the old file back under its name from `backup`, or a new file removed.
void undo_rename(OutputFile& file);
// Removes `name` (the temporary's or a backup's).
void remove_name(const OutputFile& file, const std::string& name);
// Holds every catchable signal (POSIX), or makes the console handler wait (Windows), or lets go.
void hold_all_signals(bool hold);
}  // namespace output_platform
