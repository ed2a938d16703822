// The exit statuses of both programs, and the one way a run of velmora ends in failure.
#pragma once

// velmora's, handed to the process exit. Where only the low 8 bits reach the parent (Linux, and
// a Linux parent of velmora.exe under Wine) these show as 255, 253, 252, 251, 250, 249 and 248;
// a Windows parent gets the whole value (cmd's %ERRORLEVEL% shows -1).
inline constexpr int exit_success = 0;
inline constexpr int exit_cannot_open = -1;   // too few arguments, or a file that cannot be opened
inline constexpr int exit_no_memory = -3;     // the image buffer cannot be allocated
inline constexpr int exit_cannot_write = -4;  // the output was not written whole
inline constexpr int exit_cannot_read = -5;   // an input did not deliver exactly its length
inline constexpr int exit_bad_length = -6;    // an input of 2 GiB or more, or of unknown length
inline constexpr int exit_image_too_large = -7;      // the image would be 2 GiB or more
inline constexpr int exit_bootloader_too_long = -8;  // the bootloader is longer than the image

// velmora-inspect's.
inline constexpr int inspect_exit_pass = 0;  // every check passed; warnings allowed
inline constexpr int inspect_exit_fail = 1;  // a check failed, the images differ, or --strict
// A usage error, or a file that cannot be read or written or that changed while read.
inline constexpr int inspect_exit_error = 2;
// --extract put every part in place, but the report could not be written.
inline constexpr int inspect_exit_unreported = 3;

#if defined(__GNUC__)
#define VELMORA_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define VELMORA_PRINTF_FORMAT(fmt, first)
#endif

// Removes the pending files (below), writes the formatted message to standard output, reads
// one byte from standard input (returning at once at end of input), then ends the process
// with `status`. Open streams are flushed by the normal process exit.
[[noreturn]] void fail_and_wait(int status, const char* format, ...) VELMORA_PRINTF_FORMAT(2, 3);

// Pending files: temporary files with a name, and directories a run made, that must not
// outlive a failed or interrupted run. A few may be pending at once (velmora-inspect writes
// four parts, into directories it may create). Each is a name in the directory open as
// `dir_fd` (-1 on Windows, or for a name relative to the working directory or absolute).
// Adding one copies the name into static storage, so that remove_pending_files may run inside
// a signal handler: it uses only calls that are safe there. Files go first, then every
// directory that is empty by then, innermost first. add_pending_file returns the slot to drop
// once the file is in place or gone, or -1 when the name is too long or no slot is free.
int add_pending_file(int dir_fd, const char* name, bool directory = false);
void drop_pending_file(int slot);
void remove_pending_files();
