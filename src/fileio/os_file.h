// The few file-system calls that differ between Linux and Windows, behind one set of names,
// for whole-file reads and for writing outputs. read_file.cpp holds what both share; each
// system's output_file_*.cpp supplies the rest.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

#ifdef _WIN32
using StatBuf = struct _stat64;
#else
using StatBuf = struct stat;
#endif

int stat_path(const char* path, StatBuf* st);
int stat_fd(int fd, StatBuf* st);
// Opens a file for reading without waiting for a pipe's writer.
int open_for_reading(const char* path);
int close_fd(int fd);

// One system call: reads into `to` at `offset` where `to` is set, else writes from `from` at
// `offset` or, where it is negative, at the file's position. The count moved, or -1 with errno.
long long move_some_at(int fd, std::int64_t offset, std::uint8_t* to, const std::uint8_t* from,
                       std::int64_t count);

// Reads at `offset` until `length` bytes have come, the file ends or reading fails; returns
// how many came.
std::int64_t read_up_to_at(int fd, std::int64_t offset, std::uint8_t* destination,
                           std::int64_t length);
// Writes every byte at `offset` (at the file's position where it is negative), or returns false.
bool write_all_at(int fd, std::int64_t offset, const std::uint8_t* source, std::int64_t length);

// Gives a file open for writing the room for its first `length` bytes, and that length, before
// they are written. False, with errno, when the file system has no room for them (ENOSPC,
// EDQUOT) or they would pass the file size limit (EFBIG). True where the system or the file
// system cannot reserve room: the writes then find out as they go.
bool reserve_length(int fd, std::int64_t length);

// Copies everything `from` holds, from its first byte, to `to` at its current position.
bool copy_from_start(int from, int to);

// A descriptor 0, 1 or 2 that is closed would be handed to the next file opened, and the
// console text meant for standard output would then land in that file: each closed one is
// given the null device.
void reserve_standard_descriptors();
