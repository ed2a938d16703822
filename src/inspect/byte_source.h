// The stretch velmora-inspect reads an image in, and the buffer for it.
#pragma once

#include <cstdint>
#include <vector>

#include "fileio/read_file.h"

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
