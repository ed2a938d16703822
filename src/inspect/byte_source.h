// Bytes read at any offset, from a file of any size or from a block in memory, so that one
// reading routine serves the program (files) and the tests and fuzzers (memory).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An open regular file, read at explicit offsets.
struct ReadFile {
  int fd = -1;
  std::int64_t length = 0;
  std::string path;
};

// Opens a regular file for reading and learns its length. False, with `error` naming the path
// and the reason (the system's own text where the system gave one), when it cannot: missing,
// unreadable, a directory, or a pipe or device (which is never opened, so never waited on).
bool open_read_file(const char* path, ReadFile& file, std::string& error);
void close_read_file(ReadFile& file);

// Where bytes come from: `file` when set, else `bytes`; `length` is how many there are.
struct ByteSource {
  ReadFile* file = nullptr;
  const std::uint8_t* bytes = nullptr;
  std::int64_t length = 0;
};

ByteSource file_source(ReadFile& file);
ByteSource memory_source(const std::uint8_t* bytes, std::int64_t length);

// Copies exactly `count` bytes from `offset` into `to`; the range must lie within `length`.
// False, with `error` naming the path and the reason, when the file delivers fewer (it was cut
// while read) or a read fails.
bool read_source(const ByteSource& source, std::int64_t offset, std::uint8_t* to,
                 std::int64_t count, std::string& error);

// How much a scan reads at a time: large enough that the per-call cost vanishes, small enough
// that memory stays flat whatever the image's size and that a stretch is still in the
// processor's cache when it is checksummed (64 KiB was measured fastest, beside 1 MiB and
// 256 KiB). A whole number of words, so that a scan that starts at an application's first
// byte never splits one of its words.
inline constexpr std::int64_t stretch_bytes = std::int64_t{1} << 16;
static_assert(stretch_bytes % 4 == 0);

// A buffer for reads of at most `most` bytes: one stretch, or less where `most` is smaller
// (an image in memory), rounded up to a whole word.
std::vector<std::uint8_t> stretch_buffer(std::int64_t most);
