// Scratch files for tests: a fresh directory per test and whole-file helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A new empty directory, removed with everything in it when the object goes.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_bytes(const std::string& path, const Bytes& bytes);
Bytes read_bytes(const std::string& path);
bool file_exists(const std::string& path);
// How many entries a directory holds.
std::size_t entry_count(const std::string& dir);
// Deterministic pseudo-random bytes.
Bytes random_bytes(std::size_t count, std::uint32_t seed);
