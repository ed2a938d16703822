// The one way a run ends in failure.
#pragma once

#include "common/exit_status.h"

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
