#include "inspect/against.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "image/crc32.h"
#include "image/layout.h"
#include "image/word_reverse.h"
#include "inspect/inspect.h"

namespace {

// Largest input or image velmora writes: its lengths are signed 32-bit numbers.
constexpr std::int64_t max_velmora_length = INT32_MAX;

// What fills one region of the expected image.
enum class Fill {
  bootloader,  // the bootloader's bytes at the same offsets, and 0xFF where it has ended
  application  // an application's bytes from its first, word-reversed in the high window
};

struct Segment {
  const char* what;
  std::int64_t offset;
  std::int64_t size;
  Fill fill;
  const ByteSource* source;
  bool reversed;
};

// One stretch for each side; no segment is longer than the expected image.
struct Buffers {
  std::vector<std::uint8_t> expected;
  std::vector<std::uint8_t> image;
};

std::int64_t clamp_count(std::int64_t available, std::int64_t n) {
  return std::max<std::int64_t>(0, std::min(available, n));
}

// Fills `to` with the `n` expected bytes that start `done` bytes into the segment. An
// application's bytes also go through the checksum of its bytes as read.
bool expected_stretch(const Segment& seg, std::int64_t done, std::int64_t n, std::uint8_t* to,
                      std::uint32_t& crc, std::string& error) {
  if (seg.fill == Fill::application) {
    if (!read_source(*seg.source, done, to, n, error)) {
      return false;
    }
    crc = crc32_feed(crc, to, static_cast<std::size_t>(n));
    if (seg.reversed) {
      reverse_word_bytes(to, static_cast<std::size_t>(n));
    }
    return true;
  }
  const std::int64_t at = seg.offset + done;
  const std::int64_t from_boot = clamp_count(seg.source->length - at, n);
  if (!read_source(*seg.source, at, to, from_boot, error)) {
    return false;
  }
  std::fill(to + from_boot, to + n, std::uint8_t{0xFF});
  return true;
}

// Compares a segment with the image bytes at its place, as far as the image reaches; an
// application's input is read whole all the same, for its checksum.
bool compare_segment(const Segment& seg, const ByteSource& image, Buffers& buffers,
                     std::vector<Difference>& differences, std::uint32_t& crc, std::string& error) {
  Difference d;
  d.kind = DifferenceKind::bytes;
  d.what = seg.what;
  crc = 0;
  for (std::int64_t done = 0; done < seg.size;) {
    const std::int64_t n = std::min(
        {seg.size - done, stretch_bytes, static_cast<std::int64_t>(buffers.expected.size())});
    const std::int64_t in_image = clamp_count(image.length - (seg.offset + done), n);
    if (in_image == 0 && seg.fill == Fill::bootloader) {
      break;  // nothing left to compare, and no checksum to finish
    }
    if (!expected_stretch(seg, done, n, buffers.expected.data(), crc, error) ||
        !read_source(image, seg.offset + done, buffers.image.data(), in_image, error)) {
      return false;
    }
    // Byte by byte only where the stretches differ at all: the common case is equality.
    const auto compared = static_cast<std::size_t>(in_image);
    if (std::memcmp(buffers.expected.data(), buffers.image.data(), compared) != 0) {
      for (std::size_t k = 0; k < compared; ++k) {
        if (buffers.expected[k] != buffers.image[k]) {
          d.first = d.count == 0 ? done + static_cast<std::int64_t>(k) : d.first;
          ++d.count;
        }
      }
    }
    done += n;
  }
  if (d.count > 0) {
    d.first_in_image = seg.offset + d.first;
    differences.push_back(std::move(d));
  }
  return true;
}

void compare_field(const char* what, std::uint32_t image, std::uint32_t inputs,
                   std::vector<Difference>& differences) {
  if (image != inputs) {
    Difference d;
    d.kind = DifferenceKind::field;
    d.what = what;
    d.image = image;
    d.inputs = inputs;
    differences.push_back(std::move(d));
  }
}

void compare_descriptor(const char* app, const ImageDescriptor& image,
                        const ImageDescriptor& inputs, std::vector<Difference>& differences) {
  const std::pair<const char*, std::uint32_t ImageDescriptor::*> fields[] = {
      {"status", &ImageDescriptor::status}, {"flags", &ImageDescriptor::flags},
      {"crc", &ImageDescriptor::crc},       {"offset", &ImageDescriptor::offset},
      {"size", &ImageDescriptor::size},     {"load_addr", &ImageDescriptor::load_addr},
  };
  for (const auto& [name, field] : fields) {
    compare_field((std::string(app) + "." + name).c_str(), image.*field, inputs.*field,
                  differences);
  }
}

// The header fields one by one, then the bytes outside them, which velmora leaves 0.
void compare_header(const HeaderBytes& image_bytes, const HeaderBytes& expected_bytes,
                    std::vector<Difference>& differences) {
  const BootHeader image = decode_boot_header(image_bytes);
  const BootHeader expected = decode_boot_header(expected_bytes);
  compare_descriptor("app1", image.app1, expected.app1, differences);
  compare_descriptor("app2", image.app2, expected.app2, differences);
  compare_field("header_crc", image.header_crc, expected.header_crc, differences);

  // A field that differs is named above, so only the reserved bytes are counted here.
  const HeaderMask& field = header_field_bytes();
  Difference d;
  d.kind = DifferenceKind::bytes;
  d.what = "header_reserved";
  for (std::size_t i = 0; i < header_size; ++i) {
    if (!field[i] && image_bytes[i] != expected_bytes[i]) {
      d.first = d.count == 0 ? static_cast<std::int64_t>(i) : d.first;
      ++d.count;
    }
  }
  if (d.count > 0) {
    d.first_in_image = header_offset + d.first;
    differences.push_back(std::move(d));
  }
}

bool refuse(const char* path, const char* why, std::string& error) {
  error = std::string(path) + ": " + why;
  return false;
}

}  // namespace

bool compare_against(const RunArgs& args, const ByteSource& boot, const ByteSource& app1,
                     const ByteSource& app2, const ByteSource& image, AgainstReport& report,
                     std::string& error) {
  const std::pair<const ByteSource*, const char*> inputs[] = {
      {&boot, args.src1}, {&app1, args.src2}, {&app2, args.src3}};
  for (const auto& [source, path] : inputs) {
    if (source->length > max_velmora_length) {
      return refuse(path, "velmora refuses it: 2 GiB or larger", error);
    }
  }
  const ImageLayout layout = plan_layout(app1.length, app2.length);
  if (layout.length > max_velmora_length) {
    return refuse(args.src2,
                  "velmora refuses these applications: the image would be 2 GiB or larger", error);
  }
  if (boot.length > layout.length) {
    return refuse(args.src1, "velmora refuses it: the bootloader is longer than the image", error);
  }

  AgainstReport r;
  r.length = image.length;
  r.expected_length = layout.length;
  r.input_lengths[0] = boot.length;
  r.input_lengths[1] = app1.length;
  r.input_lengths[2] = app2.length;

  BootHeader header;
  header.app1 = describe_application(args.load_addr1, args.status1);
  header.app2 = describe_application(args.load_addr2, args.status2);
  header.app1.offset = static_cast<std::uint32_t>(layout.app1_offset);
  header.app1.size = static_cast<std::uint32_t>(layout.app1_size);
  header.app2.offset = static_cast<std::uint32_t>(layout.app2_offset);
  header.app2.size = static_cast<std::uint32_t>(layout.app2_size);

  const std::int64_t header_end = header_offset + static_cast<std::int64_t>(header_size);
  const std::int64_t app1_end = layout.app1_offset + layout.app1_size;
  const std::int64_t app2_end = layout.app2_offset + layout.app2_size;
  const bool high1 = in_high_window(args.load_addr1);
  const bool high2 = in_high_window(args.load_addr2);
  // Where the bootloader is longer than its region it runs on into every byte that no
  // application and not the header covers, so each fill comes from it where it reaches.
  const Segment before_header[] = {
      {"bootloader", bootloader_offset, bootloader_region_size, Fill::bootloader, &boot, false},
  };
  const Segment after_header[] = {
      {"header_page_fill", header_end, app1_offset - header_end, Fill::bootloader, &boot, false},
      {"app1", layout.app1_offset, layout.app1_size, Fill::application, &app1, high1},
      {"app1_fill", app1_end, layout.app2_offset - app1_end, Fill::bootloader, &boot, false},
      {"app2", layout.app2_offset, layout.app2_size, Fill::application, &app2, high2},
      {"app2_fill", app2_end, layout.length - app2_end, Fill::bootloader, &boot, false},
  };

  Buffers buffers{stretch_buffer(layout.length), stretch_buffer(layout.length)};
  std::uint32_t crc = 0;
  std::vector<Difference> tail;
  if (!compare_segment(before_header[0], image, buffers, r.differences, crc, error)) {
    return false;
  }
  for (const Segment& seg : after_header) {
    if (!compare_segment(seg, image, buffers, tail, crc, error)) {
      return false;
    }
    if (seg.source == &app1 && seg.fill == Fill::application) {
      header.app1.crc = crc;
    } else if (seg.source == &app2 && seg.fill == Fill::application) {
      header.app2.crc = crc;
    }
  }

  // The header last, now that the checksums of the applications are known; it is reported in
  // its place between the bootloader and the rest of its page.
  HeaderBytes expected = encode_boot_header(header);
  header.header_crc = compute_header_crc(expected);
  put_le32(expected.data(), header_crc_field, header.header_crc);
  if (image.length >= header_end) {
    HeaderBytes image_header{};
    if (!read_source(image, header_offset, image_header.data(),
                     static_cast<std::int64_t>(header_size), error)) {
      return false;
    }
    compare_header(image_header, expected, r.differences);
  }
  r.differences.insert(r.differences.end(), tail.begin(), tail.end());
  if (image.length != layout.length) {
    Difference d;
    d.kind = DifferenceKind::length;
    d.what = "length";
    d.image = image.length;
    d.inputs = layout.length;
    r.differences.push_back(std::move(d));
  }
  report = std::move(r);
  return true;
}
