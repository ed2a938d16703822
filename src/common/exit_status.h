// The exit statuses of both programs, in one place.
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
