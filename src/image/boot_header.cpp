#include "image/boot_header.h"

#include "image/crc32.h"
#include "image/word_reverse.h"

namespace {

void put_descriptor(HeaderBytes& bytes, std::size_t base, const ImageDescriptor& d) {
  put_le32(bytes.data(), base + desc_status, d.status);
  put_le32(bytes.data(), base + desc_flags, d.flags);
  put_le32(bytes.data(), base + desc_crc, d.crc);
  put_le32(bytes.data(), base + desc_offset, d.offset);
  put_le32(bytes.data(), base + desc_size, d.size);
  put_le32(bytes.data(), base + desc_load_addr, d.load_addr);
}

ImageDescriptor get_descriptor(const HeaderBytes& bytes, std::size_t base) {
  ImageDescriptor d;
  d.status = get_le32(bytes.data(), base + desc_status);
  d.flags = get_le32(bytes.data(), base + desc_flags);
  d.crc = get_le32(bytes.data(), base + desc_crc);
  d.offset = get_le32(bytes.data(), base + desc_offset);
  d.size = get_le32(bytes.data(), base + desc_size);
  d.load_addr = get_le32(bytes.data(), base + desc_load_addr);
  return d;
}

}  // namespace

ImageDescriptor describe_application(std::uint32_t load_addr, std::int8_t raw_status) {
  ImageDescriptor d;
  d.status = raw_status != 0 ? 1u : 0u;
  d.flags = in_high_window(load_addr) && raw_status > 1 ? flag_high_window_status : 0u;
  d.load_addr = load_addr;
  return d;
}

HeaderBytes encode_boot_header(const BootHeader& header) {
  HeaderBytes bytes{};
  put_descriptor(bytes, app1_descriptor, header.app1);
  put_descriptor(bytes, app2_descriptor, header.app2);
  put_le32(bytes.data(), header_crc_field, header.header_crc);
  return bytes;
}

BootHeader decode_boot_header(const HeaderBytes& bytes) {
  BootHeader header;
  header.app1 = get_descriptor(bytes, app1_descriptor);
  header.app2 = get_descriptor(bytes, app2_descriptor);
  header.header_crc = get_le32(bytes.data(), header_crc_field);
  return header;
}

std::uint32_t compute_header_crc(const HeaderBytes& bytes) {
  return crc32_feed(0, bytes.data(), header_crc_covered);
}
