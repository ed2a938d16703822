// The 256-byte boot header: a descriptor for each application and a checksum of itself.
#pragma once

#include <array>
#include <cstdint>

#include "image/layout.h"

struct ImageDescriptor {
  std::uint32_t status = 0;  // 1 active, 0 invalid
  std::uint32_t flags = 0;   // flag_high_window_status or 0
  std::uint32_t crc = 0;     // checksum of the application's bytes before any reversal
  std::uint32_t offset = 0;  // where the application lies in the image
  std::uint32_t size = 0;    // the application's length in bytes
  std::uint32_t load_addr = 0;
};

struct BootHeader {
  ImageDescriptor app1;
  ImageDescriptor app2;
  std::uint32_t header_crc = 0;  // checksum of the encoded bytes in front of its own field
};

using HeaderBytes = std::array<std::uint8_t, header_size>;

// The fields of a descriptor, in header order: their names in the reports, where each lies
// in the descriptor and which member holds it.
struct DescriptorField {
  const char* name;
  std::size_t offset;
  std::uint32_t ImageDescriptor::*member;
};
inline constexpr DescriptorField descriptor_fields[] = {
    {"status", 0x00, &ImageDescriptor::status}, {"flags", 0x04, &ImageDescriptor::flags},
    {"crc", 0x08, &ImageDescriptor::crc},       {"offset", 0x0C, &ImageDescriptor::offset},
    {"size", 0x10, &ImageDescriptor::size},     {"load_addr", 0x20, &ImageDescriptor::load_addr},
};

// The two descriptors, in header order.
struct DescriptorPlace {
  const char* name;
  std::size_t base;
  ImageDescriptor BootHeader::*member;
};
inline constexpr DescriptorPlace descriptor_places[] = {
    {"app1", 0x00, &BootHeader::app1},
    {"app2", 0x30, &BootHeader::app2},
};
// load_addr, the last field, ends inside its descriptor, and APP2's in front of header_crc_field.
static_assert(descriptor_fields[5].offset + 4 <= descriptor_places[1].base);
static_assert(descriptor_places[1].base + descriptor_fields[5].offset + 4 <= header_crc_field);

// The descriptor fields that come from the command line: the status word records only
// whether the raw status is non-zero; the flag bit marks a high-window application whose
// raw status exceeds 1.
ImageDescriptor describe_application(std::uint32_t load_addr, std::int8_t raw_status);

// Encodes the header, little-endian, every byte outside the fields zero. header_crc is
// written as it stands in the record.
HeaderBytes encode_boot_header(const BootHeader& header);

// Reads the fields back from encoded bytes; reserved bytes are not looked at.
BootHeader decode_boot_header(const HeaderBytes& bytes);

// The checksum of the encoded header bytes in front of header_crc_field.
std::uint32_t compute_header_crc(const HeaderBytes& bytes);
