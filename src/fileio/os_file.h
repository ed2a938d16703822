// The few file-system calls that differ between Linux and Windows, behind one set of names,
// for whole-file reads and for writing outputs.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#ifdef _WIN32
using StatBuf = struct _stat64;
#else
using StatBuf = struct stat;
#endif

// One read or write call moves at most this many bytes. Both platforms cap a call's count,
// and on Linux writing a large image into the page cache in calls of 1 MiB was measured to
// take about half as long as the same bytes in one call.
inline constexpr std::int64_t io_chunk = std::int64_t{1} << 20;

int stat_path(const char* path, StatBuf* st);
int stat_fd(int fd, StatBuf* st);
bool is_regular(const StatBuf& st);
bool is_directory(const StatBuf& st);

// Opens a file for reading without waiting for a pipe's writer.
int open_for_reading(const char* path);
std::int64_t seek_to_end(int fd);
bool seek_to_start(int fd);
int close_fd(int fd);

// Reads until `length` bytes have come, the file ends or reading fails; returns how many came.
std::int64_t read_up_to(int fd, std::uint8_t* destination, std::int64_t length);
// Reads up to `length` bytes at `offset`, with the same rule.
std::int64_t read_up_to_at(int fd, std::int64_t offset, std::uint8_t* destination,
                           std::int64_t length);
// Writes every byte, or returns false.
bool write_all(int fd, const std::uint8_t* source, std::int64_t length);
bool write_all_at(int fd, std::int64_t offset, const std::uint8_t* source, std::int64_t length);

// Cuts or extends an open file to `length` bytes.
bool truncate_fd(int fd, std::int64_t length);
// Copies everything `from` holds into `to`, which is cut to nothing first; a buffer of
// io_chunk bytes at a time.
bool copy_contents(int from, int to);

// Whether two open descriptors are the same file.
bool same_file(int fd_a, int fd_b);

// The part of `path` up to and including its last separator, so that a name appended to it
// lands in the same directory: "" for a bare name, "/" for a file in the root. On Windows a
// drive's colon ends it too: "C:name" is relative to drive C's current directory.
std::string directory_prefix(const std::string& path);
