#include "image/boot_header.h"

#include "image/crc32.h"

ImageDescriptor describe_application(std::uint32_t load_addr, std::int8_t raw_status) {
  ImageDescriptor d;
  d.status = raw_status != 0 ? 1u : 0u;
  d.flags = in_high_window(load_addr) && raw_status > 1 ? flag_high_window_status : 0u;
  d.load_addr = load_addr;
  return d;
}

HeaderBytes encode_boot_header(const BootHeader& header) {
  HeaderBytes bytes{};
  for (const DescriptorPlace& place : descriptor_places) {
    for (const DescriptorField& f : descriptor_fields) {
      put_le32(bytes.data(), place.base + f.offset, header.*place.member.*f.member);
    }
  }
  put_le32(bytes.data(), header_crc_field, header.header_crc);
  return bytes;
}

BootHeader decode_boot_header(const HeaderBytes& bytes) {
  BootHeader header;
  for (const DescriptorPlace& place : descriptor_places) {
    for (const DescriptorField& f : descriptor_fields) {
      header.*place.member.*f.member = get_le32(bytes.data(), place.base + f.offset);
    }
  }
  header.header_crc = get_le32(bytes.data(), header_crc_field);
  return header;
}

std::uint32_t compute_header_crc(const HeaderBytes& bytes) {
  return crc32_feed(0, bytes.data(), header_crc_field);
}
