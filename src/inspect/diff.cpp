#include "inspect/inspect.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "image/compose.h"
#include "image/layout.h"

namespace {

// The bytes of [from, to) that a file of `length` bytes holds: where they start, how many.
struct Piece {
  std::int64_t offset = 0;
  std::int64_t held = 0;
};

Piece clip(std::int64_t length, std::int64_t from, std::int64_t to) {
  const std::int64_t at = std::min(from, length);
  return {at, std::max<std::int64_t>(0, std::min(to, length) - at)};
}

RegionDiff length_row(std::int64_t a, std::int64_t b) {
  return {.kind = RegionKind::length, .what = "length", .same = a == b, .a = a, .b = b};
}

// A row per header field in header order, the same where both sides know it and it is equal
// or neither does; where both hold a header, then the reserved bytes, and true.
bool compare_header(const HeaderBytes& x, const HeaderBytes& y, bool a_known, bool b_known,
                    std::vector<RegionDiff>& out) {
  const BootHeader a = decode_boot_header(x);
  const BootHeader b = decode_boot_header(y);
  const auto field = [&](const std::string& what, std::uint32_t va, std::uint32_t vb) {
    out.push_back({.kind = RegionKind::field,
                   .what = what,
                   .same = a_known == b_known && (!a_known || va == vb),
                   .a = va,
                   .b = vb,
                   .a_known = a_known,
                   .b_known = b_known});
  };
  for (const DescriptorPlace& place : descriptor_places) {
    for (const DescriptorField& f : descriptor_fields) {
      field(std::string(place.name) + "." + f.name, a.*place.member.*f.member,
            b.*place.member.*f.member);
    }
  }
  field("header_crc", a.header_crc, b.header_crc);
  if (a_known && b_known) {
    out.push_back(bytes_row("header_reserved", reserved_mismatch(x, y), header_offset));
    out.back().held_a = out.back().held_b = std::int64_t{header_size};
  }
  return a_known && b_known;
}

// The pieces of a file that no region covers, in file order: after the image's end, and where
// a forged header leaves a gap between its regions or lays them out past each other.
std::vector<Piece> outside_pieces(std::int64_t length, const ImageRegions& regions) {
  std::vector<Piece> covered;
  for (const RegionSpan& region : regions) {
    covered.push_back(clip(length, region.offset, region.end));
  }
  std::sort(covered.begin(), covered.end(),
            [](const Piece& x, const Piece& y) { return x.offset < y.offset; });
  std::vector<Piece> pieces;
  std::int64_t at = 0;
  for (const Piece& c : covered) {
    if (c.held > 0 && c.offset > at) {
      pieces.push_back({at, c.offset - at});
    }
    at = c.held > 0 ? std::max(at, c.offset + c.held) : at;
  }
  if (at < length) {
    pieces.push_back({at, length - at});
  }
  return pieces;
}

std::int64_t total(const std::vector<Piece>& pieces) {
  std::int64_t held = 0;
  for (const Piece& p : pieces) {
    held += p.held;
  }
  return held;
}

// Where the byte `k` bytes into a file's pieces lies in the file.
std::int64_t piece_offset(const std::vector<Piece>& pieces, std::int64_t k) {
  for (const Piece& p : pieces) {
    if (k < p.held) {
      return p.offset + k;
    }
    k -= p.held;
  }
  return pieces.empty() ? 0 : pieces.back().offset + pieces.back().held + k;
}

// Moves a scan of a file's pieces on to the next piece once its own is read.
void next_piece(Stretch& st, const std::vector<Piece>& pieces, std::size_t& i) {
  for (; st.at == st.end && i < pieces.size(); ++i) {
    st.at = pieces[i].offset;
    st.end = st.at + pieces[i].held;
  }
}

// Compares the pieces of each file as one stream, un-reversed (only a region's one piece is
// reversed, read in whole words); the bytes only one side holds differ too.
bool compare_pieces(const char* what, const ByteSource& a, const std::vector<Piece>& pa,
                    bool reversed_a, const ByteSource& b, const std::vector<Piece>& pb,
                    bool reversed_b, std::vector<RegionDiff>& out, std::string& error) {
  const std::int64_t held_a = total(pa);
  const std::int64_t held_b = total(pb);
  const std::int64_t common = std::min(held_a, held_b);
  // Each scan's range is set piece by piece; its buffer has room for all of its pieces.
  Stretch x = stretches(a, 0, held_a, reversed_a);
  Stretch y = stretches(b, 0, held_b, reversed_b);
  x.end = y.end = 0;
  std::size_t ia = 0;
  std::size_t ib = 0;
  Mismatch m;
  for (std::int64_t done = 0, n = 0; done < common; done += n) {
    next_piece(x, pa, ia);
    next_piece(y, pb, ib);
    n = std::min({common - done, x.end - x.at, y.end - y.at, stretch_bytes});
    if (!next_stretch(x, error, n) || !next_stretch(y, error, n)) {
      return false;
    }
    note_differences(x.bytes.data(), y.bytes.data(), n, done, m);
  }
  if (held_a != held_b) {
    m.note(common, std::max(held_a, held_b) - common);
  }
  RegionDiff d = bytes_row(what, m, 0);
  d.held_a = held_a;
  d.held_b = held_b;
  // The region's "start" in each file is chosen so that start + first is the first byte's place.
  d.offset_a = piece_offset(pa, d.first) - d.first;
  d.offset_b = piece_offset(pb, d.first) - d.first;
  out.push_back(std::move(d));
  return true;
}

}  // namespace

RegionDiff bytes_row(const char* what, const Mismatch& m, std::int64_t offset) {
  return {.what = what,
          .same = m.count == 0,
          .count = m.count,
          .first = m.count > 0 ? m.first : 0,
          .offset_a = offset,
          .offset_b = offset};
}

bool diff_images(const ByteSource& a, const ByteSource& b, DiffReport& report, std::string& error) {
  HeaderBytes bytes_a{};
  HeaderBytes bytes_b{};
  if (!read_header(a, bytes_a, error) || !read_header(b, bytes_b, error)) {
    return false;
  }
  // A file without a header lays its regions out as a header of zeros does.
  const ImageRegions ra = image_regions(decode_boot_header(bytes_a));
  const ImageRegions rb = image_regions(decode_boot_header(bytes_b));
  DiffReport r{.length_a = a.length, .length_b = b.length};
  for (std::size_t i = 0; i < region_count; ++i) {
    // The header by its fields, then the reserved bytes between them where both sides have a
    // header; else its bytes as a plain region, so that the side that holds them differs.
    if (i == header_region && compare_header(bytes_a, bytes_b, a.length >= header_end,
                                             b.length >= header_end, r.regions)) {
      continue;
    }
    const std::vector<Piece> pa = {clip(a.length, ra[i].offset, ra[i].end)};
    const std::vector<Piece> pb = {clip(b.length, rb[i].offset, rb[i].end)};
    if (!compare_pieces(i == header_region ? "header_reserved" : ra[i].name, a, pa, ra[i].reversed,
                        b, pb, rb[i].reversed, r.regions, error)) {
      return false;
    }
  }
  if (!compare_pieces("outside", a, outside_pieces(a.length, ra), false, b,
                      outside_pieces(b.length, rb), false, r.regions, error)) {
    return false;
  }
  r.regions.push_back(length_row(a.length, b.length));
  report = std::move(r);
  return true;
}

std::int64_t regions_differing(const DiffReport& r) {
  return std::count_if(r.regions.begin(), r.regions.end(),
                       [](const RegionDiff& d) { return !d.same; });
}

bool compare_against(const RunArgs& args, const ByteSource& boot, const ByteSource& app1,
                     const ByteSource& app2, const ByteSource& image, AgainstReport& report,
                     std::string& error) {
  // velmora's own plan: the same refusals, the same layout and header.
  const ImageInputs inputs = {{boot, app1, app2}};
  ImagePlan plan;
  int refused = 0;
  const auto refusal = static_cast<std::size_t>(plan_image(args, inputs, plan, refused));
  if (refusal != 0) {
    const char* paths[3] = {args.src1, args.src2, args.src3};
    // By PlanRefusal: the input refused, and why.
    const char* path[] = {"", paths[refused], args.src2, args.src1};
    const char* why[] = {"", "velmora refuses it: 2 GiB or larger",
                         "velmora refuses these applications: the image would be 2 GiB or larger",
                         "velmora refuses it: the bootloader is longer than the image"};
    static_assert(static_cast<int>(PlanRefusal::bootloader_too_long) == 3);
    error = std::string(path[refusal]) + ": " + why[refusal];
    return false;
  }
  const std::int64_t length = plan.layout.length;
  AgainstReport r{.length = image.length,
                  .expected_length = length,
                  .input_lengths = {boot.length, app1.length, app2.length}};
  const ImageRegions regions = image_regions(plan.header);
  Mismatch found[region_count];

  // The expected image is made by velmora's composer a stretch at a time, and compared as far
  // as the image reaches; every input is read whole all the same, for the checksums.
  const auto buffer_size = static_cast<std::size_t>(std::min(stretch_size, length));
  std::vector<std::uint8_t> expected(buffer_size);
  std::vector<std::uint8_t> image_bytes(buffer_size);
  Checksums sums;
  ReadFailure failure;
  std::int64_t start = 0;
  for (; start < length; start += stretch_size) {
    const std::int64_t end = std::min(start + stretch_size, length);
    if (!make_stretch(plan, inputs, start, end, expected.data(), sums, failure)) {
      break;
    }
    const std::int64_t in_image = std::clamp<std::int64_t>(image.length - start, 0, end - start);
    if (in_image > 0 && !read_source(image, start, image_bytes.data(), in_image, error)) {
      return false;
    }
    // The bytes of each region but the header that the image holds of this stretch.
    for (std::size_t i = 0; i < region_count; ++i) {
      const std::int64_t lo = std::max(regions[i].offset, start);
      const std::int64_t hi = std::min(regions[i].end, start + in_image);
      if (i != header_region && lo < hi) {
        note_differences(expected.data() + (lo - start), image_bytes.data() + (lo - start), hi - lo,
                         lo - regions[i].offset, found[i]);
      }
    }
  }
  if (start < length || !inputs_ended(inputs, failure)) {
    error = failure.error;
    return false;
  }

  // The header last, now that the checksums are known, but reported in its place.
  const HeaderBytes expected_header = finish_header(plan, sums);
  HeaderBytes image_header{};
  if (!read_header(image, image_header, error)) {
    return false;
  }
  for (std::size_t i = 0; i < region_count; ++i) {
    if (i != header_region) {
      r.differences.push_back(bytes_row(regions[i].name, found[i], regions[i].offset));
    } else if (image.length >= header_end) {
      compare_header(image_header, expected_header, true, true, r.differences);
    }
  }
  std::erase_if(r.differences, [](const RegionDiff& d) { return d.same; });
  if (image.length != length) {
    r.differences.push_back(length_row(image.length, length));
  }
  report = std::move(r);
  return true;
}
