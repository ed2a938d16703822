#include "inspect/against.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "image/compose.h"
#include "image/layout.h"
#include "inspect/inspect.h"

namespace {

// A region of the image compared byte by byte: everything but the header, whose fields are
// compared by name.
struct ByteRegion {
  const char* what;
  std::int64_t from;
  std::int64_t to;
};

// Counts the bytes of each region that differ within [start, start + count), where `expected`
// and `image` hold the bytes from `start` on.
void compare_bytes(const ByteRegion* regions, std::size_t region_count, std::int64_t start,
                   std::int64_t count, const std::uint8_t* expected, const std::uint8_t* image,
                   Difference* found) {
  for (std::size_t i = 0; i < region_count; ++i) {
    const std::int64_t lo = std::max(regions[i].from, start);
    const std::int64_t hi = std::min(regions[i].to, start + count);
    // Byte by byte only where the bytes differ at all: the common case is equality.
    if (lo >= hi || std::memcmp(expected + (lo - start), image + (lo - start),
                                static_cast<std::size_t>(hi - lo)) == 0) {
      continue;
    }
    for (std::int64_t at = lo; at < hi; ++at) {
      if (expected[at - start] != image[at - start]) {
        found[i].first = found[i].count == 0 ? at - regions[i].from : found[i].first;
        ++found[i].count;
      }
    }
  }
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
  // velmora's own plan: the same refusals, the same layout and header.
  const ImageInputs inputs = {{boot, app1, app2}};
  ImagePlan plan;
  int refused = 0;
  const char* paths[3] = {args.src1, args.src2, args.src3};
  switch (plan_image(args, inputs, plan, refused)) {
    case PlanRefusal::none:
      break;
    case PlanRefusal::input_too_long:
      return refuse(paths[refused], "velmora refuses it: 2 GiB or larger", error);
    case PlanRefusal::image_too_large:
      return refuse(args.src2,
                    "velmora refuses these applications: the image would be 2 GiB or larger",
                    error);
    case PlanRefusal::bootloader_too_long:
      return refuse(args.src1, "velmora refuses it: the bootloader is longer than the image",
                    error);
  }
  const ImageLayout& layout = plan.layout;

  AgainstReport r;
  r.length = image.length;
  r.expected_length = layout.length;
  r.input_lengths[0] = boot.length;
  r.input_lengths[1] = app1.length;
  r.input_lengths[2] = app2.length;

  const std::int64_t header_end = header_offset + static_cast<std::int64_t>(header_size);
  const std::int64_t app1_end = layout.app1_offset + layout.app1_size;
  const std::int64_t app2_end = layout.app2_offset + layout.app2_size;
  const ByteRegion regions[] = {
      {"bootloader", bootloader_offset, header_offset},
      {"header_page_fill", header_end, app1_offset},
      {"app1", layout.app1_offset, app1_end},
      {"app1_fill", app1_end, layout.app2_offset},
      {"app2", layout.app2_offset, app2_end},
      {"app2_fill", app2_end, layout.length},
  };
  constexpr std::size_t region_count = std::size(regions);
  Difference found[region_count];

  // The expected image is made by velmora's composer a stretch at a time, and compared as far
  // as the image reaches; every input is read whole all the same, for the checksums.
  const auto buffer_size = static_cast<std::size_t>(std::min(stretch_size, layout.length));
  std::vector<std::uint8_t> expected(buffer_size);
  std::vector<std::uint8_t> image_bytes(buffer_size);
  Checksums sums;
  ReadFailure failure;
  for (std::int64_t start = 0; start < layout.length; start += stretch_size) {
    const std::int64_t end = std::min(start + stretch_size, layout.length);
    if (!make_stretch(plan, inputs, start, end, expected.data(), sums, failure)) {
      error = failure.error;
      return false;
    }
    const std::int64_t in_image = std::clamp<std::int64_t>(image.length - start, 0, end - start);
    if (in_image > 0) {
      if (!read_source(image, start, image_bytes.data(), in_image, error)) {
        return false;
      }
      compare_bytes(regions, region_count, start, in_image, expected.data(), image_bytes.data(),
                    found);
    }
  }
  if (!inputs_ended(inputs, failure)) {
    error = failure.error;
    return false;
  }
  const auto add_bytes = [&](std::size_t i) {
    if (found[i].count > 0) {
      found[i].kind = DifferenceKind::bytes;
      found[i].what = regions[i].what;
      found[i].first_in_image = regions[i].from + found[i].first;
      r.differences.push_back(std::move(found[i]));
    }
  };

  // The header last, now that the checksums are known; it is reported in its place between
  // the bootloader and the rest of its page.
  add_bytes(0);
  const HeaderBytes expected_header = finish_header(plan, sums);
  if (image.length >= header_end) {
    HeaderBytes image_header{};
    if (!read_source(image, header_offset, image_header.data(),
                     static_cast<std::int64_t>(header_size), error)) {
      return false;
    }
    compare_header(image_header, expected_header, r.differences);
  }
  for (std::size_t i = 1; i < region_count; ++i) {
    add_bytes(i);
  }
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
