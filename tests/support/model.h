// An independent model of the download image, for expected values: its own bit-at-a-time
// checksum, its own little-endian writes and literal offsets, sharing no code with velmora.
#pragma once

#include <cstdint>
#include <string>

#include "support/files.h"

// The checksum one bit at a time: reflected polynomial 0xEDB88320, starting from 0, no final
// inversion.
std::uint32_t model_crc(const std::uint8_t* bytes, std::size_t count);
std::uint32_t model_crc(const Bytes& bytes);

// A number as a test writes it on the command line ("0x11000000", "ff"): plain hexadecimal.
std::uint32_t model_number(const std::string& word);

struct ModelApp {
  Bytes bytes;
  std::uint32_t load_addr = 0;
  std::int8_t status = 0;
};

// The whole image velmora should write for these inputs.
Bytes model_image(const Bytes& boot, const ModelApp& app1, const ModelApp& app2);
