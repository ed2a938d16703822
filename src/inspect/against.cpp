#include "inspect/against.h"

#include <algorithm>
#include <utility>

#include "image/compose.h"
#include "image/layout.h"

namespace {

// Notes in `found` the bytes of each region but the header that differ within
// [start, start + count), where `expected` and `image` hold the bytes from `start` on.
void compare_stretch(const ImageRegions& regions, std::int64_t start, std::int64_t count,
                     const std::uint8_t* expected, const std::uint8_t* image, Mismatch* found) {
  for (std::size_t i = 0; i < region_count; ++i) {
    const std::int64_t lo = std::max(regions[i].offset, start);
    const std::int64_t hi = std::min(regions[i].end, start + count);
    if (i != header_region && lo < hi) {
      note_differences(expected + (lo - start), image + (lo - start), hi - lo,
                       lo - regions[i].offset, found[i]);
    }
  }
}

// The header fields that differ, then the bytes outside them, which velmora leaves 0.
void compare_header(const HeaderBytes& image, const HeaderBytes& expected,
                    std::vector<RegionDiff>& differences) {
  std::vector<RegionDiff> fields;
  compare_fields(decode_boot_header(image), decode_boot_header(expected), true, true, fields);
  fields.push_back(bytes_row("header_reserved", reserved_mismatch(image, expected), header_offset));
  for (RegionDiff& d : fields) {
    if (!d.same) {
      differences.push_back(std::move(d));
    }
  }
}

bool refuse(const char* path, const char* why, std::string& error) {
  error = std::string(path) + ": " + why;
  return false;
}

// velmora's own plan: the same refusals, the same layout and header.
bool plan_as_velmora(const RunArgs& args, const ImageInputs& inputs, ImagePlan& plan,
                     std::string& error) {
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
  return true;
}

}  // namespace

bool compare_against(const RunArgs& args, const ByteSource& boot, const ByteSource& app1,
                     const ByteSource& app2, const ByteSource& image, AgainstReport& report,
                     std::string& error) {
  const ImageInputs inputs = {{boot, app1, app2}};
  ImagePlan plan;
  if (!plan_as_velmora(args, inputs, plan, error)) {
    return false;
  }
  const std::int64_t length = plan.layout.length;
  AgainstReport r;
  r.length = image.length;
  r.expected_length = length;
  r.input_lengths[0] = boot.length;
  r.input_lengths[1] = app1.length;
  r.input_lengths[2] = app2.length;
  const ImageRegions regions = image_regions(plan.header);
  Mismatch found[region_count];

  // The expected image is made by velmora's composer a stretch at a time, and compared as far
  // as the image reaches; every input is read whole all the same, for the checksums.
  const auto buffer_size = static_cast<std::size_t>(std::min(stretch_size, length));
  std::vector<std::uint8_t> expected(buffer_size);
  std::vector<std::uint8_t> image_bytes(buffer_size);
  Checksums sums;
  ReadFailure failure;
  for (std::int64_t start = 0; start < length; start += stretch_size) {
    const std::int64_t end = std::min(start + stretch_size, length);
    if (!make_stretch(plan, inputs, start, end, expected.data(), sums, failure)) {
      error = failure.error;
      return false;
    }
    const std::int64_t in_image = std::clamp<std::int64_t>(image.length - start, 0, end - start);
    if (in_image > 0) {
      if (!read_source(image, start, image_bytes.data(), in_image, error)) {
        return false;
      }
      compare_stretch(regions, start, in_image, expected.data(), image_bytes.data(), found);
    }
  }
  if (!inputs_ended(inputs, failure)) {
    error = failure.error;
    return false;
  }

  // The header last, now that the checksums are known, but reported in its place.
  const HeaderBytes expected_header = finish_header(plan, sums);
  for (std::size_t i = 0; i < region_count; ++i) {
    if (i != header_region) {
      if (found[i].count > 0) {
        r.differences.push_back(bytes_row(regions[i].name, found[i], regions[i].offset));
      }
      continue;
    }
    if (image.length >= header_end) {
      HeaderBytes image_header{};
      if (!read_source(image, header_offset, image_header.data(), std::int64_t{header_size},
                       error)) {
        return false;
      }
      compare_header(image_header, expected_header, r.differences);
    }
  }
  if (image.length != length) {
    r.differences.push_back(length_row(image.length, length));
  }
  report = std::move(r);
  return true;
}
