// Reading inputs: a regular file is opened once, its length is taken from that open
// descriptor, and it is read at explicit offsets, a stretch at a time. The same reading serves
// bytes in memory, for the tests and fuzzers.
#pragma once

#include <cstdint>
#include <string>

// Largest length velmora works with: its lengths are signed 32-bit numbers.
inline constexpr std::int64_t max_file_length = INT32_MAX;

struct ReadFile {
  int fd = -1;
  std::int64_t length = 0;  // as the open descriptor gave it
  std::string path;
};

// Opens a regular file for reading and learns its length. False, with `error` naming the path
// and the reason (the system's own text where the system gave one), when it cannot: missing,
// unreadable, a directory, or a pipe or device (which is never opened, so never waited on).
bool open_read_file(const char* path, ReadFile& file, std::string& error);
void close_read_file(ReadFile& file);

// Where bytes come from: `file` when set, else `bytes`; `length` is how many there are.
struct ByteSource {
  const ReadFile* file = nullptr;
  const std::uint8_t* bytes = nullptr;
  std::int64_t length = 0;
};

ByteSource file_source(const ReadFile& file);
ByteSource memory_source(const std::uint8_t* bytes, std::int64_t length);

// Copies exactly `count` bytes from `offset` into `to`; the range must lie within `length`.
// False, with `error` naming the path and the reason, when the file delivers fewer (it was cut
// while read) or a read fails.
bool read_source(const ByteSource& source, std::int64_t offset, std::uint8_t* to,
                 std::int64_t count, std::string& error);

// True when the source still ends where it did when it was opened: its last byte is there and
// nothing follows it (a file neither cut nor grown since, and not a pseudo-file that gives more
// than its length says). False, with `error` naming the path and the reason, when it has
// changed or when reading fails.
bool source_ends_at_length(const ByteSource& source, std::string& error);

// velmora's own failure endings for files, each printing its message with the path.
[[noreturn]] void fail_cannot_open(const char* path);   // -1
[[noreturn]] void fail_cannot_read(const char* path);   // -5
[[noreturn]] void fail_cannot_write(const char* path);  // -4
[[noreturn]] void fail_bad_length(const char* path);    // -6
