// The image checksum: reflected CRC-32 (polynomial 0x04C11DB7) starting from 0 with no final
// inversion, so its values differ from the common CRC-32 that uses the same table; and the
// word reversal of the high window. Both take faster paths where the processor offers them.
#pragma once

#include <cstddef>
#include <cstdint>

// Runs `count` bytes through the checksum state and returns the new state; a checksum
// starts from state 0 and its final state is the value stored. It goes the way crc32_path
// names for `count`.
std::uint32_t crc32_feed(std::uint32_t state, const std::uint8_t* bytes, std::size_t count);

// The ways crc32_feed computes the same value. Each is reachable through crc32_feed_by, so
// that they can be held against each other.
enum class Crc32Path {
  table,  // one table lookup per byte; any processor
  clmul,  // folding with carry-less multiplication (x86); runs under 64 bytes use the table
  armv8,  // the CRC32 instructions (64-bit Arm)
};

// True when this build and this processor offer `path`.
bool crc32_path_available(Crc32Path path);

// The path crc32_feed takes for a run of `count` bytes on this processor: the processor's
// own instructions where it has them, except that folding only pays from 64 bytes on.
Crc32Path crc32_path(std::size_t count);

// crc32_feed by `path`, which must be available.
std::uint32_t crc32_feed_by(Crc32Path path, std::uint32_t state, const std::uint8_t* bytes,
                            std::size_t count);

// What the processor offers beyond its architecture's baseline, for the faster paths.
struct CpuFeatures {
  bool clmul = false;  // x86: carry-less multiplication (PCLMULQDQ)
  bool ssse3 = false;  // x86: byte shuffles (PSHUFB)
  bool crc32 = false;  // 64-bit Arm: the CRC32 instructions (CRC32B ... CRC32X)
};

// Asked once per run; all false on other processors and compilers, and on 64-bit Arm systems
// other than Linux.
const CpuFeatures& cpu_features();

// Reverses the bytes of each whole 4-byte word among the first `size` bytes of `region`, as
// applications loaded in the high window are stored; the last size % 4 bytes keep their order.
void reverse_word_bytes(std::uint8_t* region, std::size_t size);
