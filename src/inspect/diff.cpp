#include "inspect/diff.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "image/layout.h"
#include "image/word_reverse.h"
#include "inspect/inspect.h"

namespace {

// What one image's header says, where it has one; a header of zeros where it has none.
struct Side {
  const ByteSource* source = nullptr;
  bool has_header = false;
  HeaderBytes bytes{};
  BootHeader header;
};

// A stretch of one side: where it starts in the file, how many bytes the file holds of it,
// and whether they are stored word-reversed.
struct Span {
  std::int64_t offset = 0;
  std::int64_t held = 0;
  bool reversed = false;
};

// One buffer per side. A reversed side reads whole words, but no more than a stretch or than
// the file holds, which stretch_buffer has room for.
struct Buffers {
  std::vector<std::uint8_t> a;
  std::vector<std::uint8_t> b;
};

Span span(const Side& s, std::int64_t from, std::int64_t to, bool reversed = false) {
  Span sp;
  sp.offset = std::min(from, s.source->length);
  sp.held = std::max<std::int64_t>(0, std::min(to, s.source->length) - sp.offset);
  sp.reversed = reversed;
  return sp;
}

Span span(const Side& s, const RegionSpan& region) {
  return span(s, region.offset, region.end, region.reversed);
}

// How many bytes to read `done` bytes into a span to compare `n` of them: where the span is
// reversed, the words are counted from its start, and a word it holds whole is read whole
// even where only part of it is compared.
std::int64_t read_count(const Span& sp, std::int64_t done, std::int64_t n) {
  return sp.reversed ? std::min((n + 3) / 4 * 4, sp.held - done) : n;
}

// The bytes row of two spans, whose first `common` bytes were compared into `m`: the bytes
// only one side holds differ too.
RegionDiff held_row(const char* what, Mismatch m, const Span& sa, const Span& sb,
                    std::int64_t common) {
  if (sa.held != sb.held) {
    m.note(common, std::max(sa.held, sb.held) - common);
  }
  RegionDiff d = bytes_row(what, m, 0);
  d.held_a = sa.held;
  d.held_b = sb.held;
  d.offset_a = sa.offset;
  d.offset_b = sb.offset;
  return d;
}

bool compare_spans(const char* what, const Side& a, const Span& sa, const Side& b, const Span& sb,
                   Buffers& buffers, std::vector<RegionDiff>& out, std::string& error) {
  Mismatch m;
  const std::int64_t common = std::min(sa.held, sb.held);
  for (std::int64_t done = 0; done < common;) {
    const std::int64_t n = std::min(common - done, stretch_bytes);
    const std::int64_t read_a = read_count(sa, done, n);
    const std::int64_t read_b = read_count(sb, done, n);
    if (!read_source(*a.source, sa.offset + done, buffers.a.data(), read_a, error) ||
        !read_source(*b.source, sb.offset + done, buffers.b.data(), read_b, error)) {
      return false;
    }
    // Sides stored alike are equal un-reversed where they are equal as stored: the common case
    // is equality, so the words are turned back only where the stretches differ.
    const bool alike = sa.reversed == sb.reversed && read_a == read_b;
    if (!alike ||
        std::memcmp(buffers.a.data(), buffers.b.data(), static_cast<std::size_t>(n)) != 0) {
      if (sa.reversed) {
        reverse_word_bytes(buffers.a.data(), static_cast<std::size_t>(read_a));
      }
      if (sb.reversed) {
        reverse_word_bytes(buffers.b.data(), static_cast<std::size_t>(read_b));
      }
      note_differences(buffers.a.data(), buffers.b.data(), n, done, m);
    }
    done += n;
  }
  out.push_back(held_row(what, m, sa, sb, common));
  return true;
}

// The reserved header bytes, where both sides have a header; else the header's bytes as a
// plain region, so that the side that holds them shows as differing.
bool compare_reserved(const Side& a, const Side& b, Buffers& buffers, std::vector<RegionDiff>& out,
                      std::string& error) {
  const char* what = "header_reserved";
  if (!a.has_header || !b.has_header) {
    return compare_spans(what, a, span(a, header_offset, header_end), b,
                         span(b, header_offset, header_end), buffers, out, error);
  }
  RegionDiff d = bytes_row(what, reserved_mismatch(a.bytes, b.bytes), header_offset);
  d.held_a = d.held_b = std::int64_t{header_size};
  out.push_back(std::move(d));
  return true;
}

// The pieces of a file that no region covers, in file order: after the image's end, and where
// a forged header leaves a gap between its regions or lays them out past each other.
std::vector<Span> outside_pieces(const Side& s, const ImageRegions& regions) {
  std::vector<Span> covered;
  for (const RegionSpan& region : regions) {
    covered.push_back(span(s, region));
  }
  std::sort(covered.begin(), covered.end(),
            [](const Span& x, const Span& y) { return x.offset < y.offset; });
  std::vector<Span> pieces;
  std::int64_t at = 0;
  for (const Span& c : covered) {
    if (c.held > 0 && c.offset > at) {
      pieces.push_back(span(s, at, c.offset));
    }
    at = c.held > 0 ? std::max(at, c.offset + c.held) : at;
  }
  if (at < s.source->length) {
    pieces.push_back(span(s, at, s.source->length));
  }
  return pieces;
}

// Where the byte `k` bytes into a file's pieces lies in the file.
std::int64_t piece_offset(const std::vector<Span>& pieces, std::int64_t k) {
  for (const Span& p : pieces) {
    if (k < p.held) {
      return p.offset + k;
    }
    k -= p.held;
  }
  return pieces.empty() ? 0 : pieces.back().offset + pieces.back().held + k;
}

// The pieces as one span: their bytes in all.
Span total(const std::vector<Span>& pieces) {
  Span all;
  for (const Span& p : pieces) {
    all.held += p.held;
  }
  return all;
}

// The bytes outside every region of each file, compared as one stream per file.
bool compare_outside(const Side& a, const std::vector<Span>& pa, const Side& b,
                     const std::vector<Span>& pb, Buffers& buffers, std::vector<RegionDiff>& out,
                     std::string& error) {
  const Span all_a = total(pa);
  const Span all_b = total(pb);
  const std::int64_t common = std::min(all_a.held, all_b.held);
  Mismatch m;
  std::size_t ia = 0;
  std::size_t ib = 0;
  std::int64_t in_a = 0;  // bytes used of the current piece of each side
  std::int64_t in_b = 0;
  for (std::int64_t done = 0; done < common;) {
    while (in_a == pa[ia].held) {
      ++ia;
      in_a = 0;
    }
    while (in_b == pb[ib].held) {
      ++ib;
      in_b = 0;
    }
    const std::int64_t n =
        std::min({common - done, stretch_bytes, pa[ia].held - in_a, pb[ib].held - in_b});
    if (!read_source(*a.source, pa[ia].offset + in_a, buffers.a.data(), n, error) ||
        !read_source(*b.source, pb[ib].offset + in_b, buffers.b.data(), n, error)) {
      return false;
    }
    note_differences(buffers.a.data(), buffers.b.data(), n, done, m);
    done += n;
    in_a += n;
    in_b += n;
  }
  RegionDiff d = held_row("outside", m, all_a, all_b, common);
  // The region's "start" in each file is chosen so that start + first is the first byte's place.
  d.offset_a = piece_offset(pa, d.first) - d.first;
  d.offset_b = piece_offset(pb, d.first) - d.first;
  out.push_back(std::move(d));
  return true;
}

bool read_side(const ByteSource& source, Side& s, std::string& error) {
  s.source = &source;
  s.has_header = source.length >= header_end;
  if (!s.has_header) {
    return true;
  }
  if (!read_source(source, header_offset, s.bytes.data(), std::int64_t{header_size}, error)) {
    return false;
  }
  s.header = decode_boot_header(s.bytes);
  return true;
}

RegionDiff field_row(const std::string& what, bool a_known, bool b_known, std::uint32_t va,
                     std::uint32_t vb) {
  RegionDiff d;
  d.kind = RegionKind::field;
  d.what = what;
  d.a = va;
  d.b = vb;
  d.a_known = a_known;
  d.b_known = b_known;
  d.same = a_known == b_known && (!a_known || va == vb);
  return d;
}

}  // namespace

RegionDiff bytes_row(const char* what, const Mismatch& m, std::int64_t offset) {
  RegionDiff d;
  d.what = what;
  d.count = m.count;
  d.first = m.count > 0 ? m.first : 0;
  d.same = m.count == 0;
  d.offset_a = d.offset_b = offset;
  return d;
}

RegionDiff length_row(std::int64_t a, std::int64_t b) {
  RegionDiff d;
  d.kind = RegionKind::length;
  d.what = "length";
  d.a = a;
  d.b = b;
  d.same = a == b;
  return d;
}

void compare_fields(const BootHeader& a, const BootHeader& b, bool a_known, bool b_known,
                    std::vector<RegionDiff>& out) {
  for (const DescriptorPlace& place : descriptor_places) {
    for (const DescriptorField& f : descriptor_fields) {
      out.push_back(field_row(std::string(place.name) + "." + f.name, a_known, b_known,
                              a.*place.member.*f.member, b.*place.member.*f.member));
    }
  }
  out.push_back(field_row("header_crc", a_known, b_known, a.header_crc, b.header_crc));
}

bool diff_images(const ByteSource& a, const ByteSource& b, DiffReport& report, std::string& error) {
  Side sa;
  Side sb;
  if (!read_side(a, sa, error) || !read_side(b, sb, error)) {
    return false;
  }
  Buffers buffers{stretch_buffer(a.length), stretch_buffer(b.length)};
  DiffReport r;
  r.length_a = a.length;
  r.length_b = b.length;
  const ImageRegions ra = image_regions(sa.header);
  const ImageRegions rb = image_regions(sb.header);
  for (std::size_t i = 0; i < region_count; ++i) {
    // The header by its fields, then the bytes outside them.
    if (i == header_region) {
      compare_fields(sa.header, sb.header, sa.has_header, sb.has_header, r.regions);
    }
    const bool compared = i == header_region
                              ? compare_reserved(sa, sb, buffers, r.regions, error)
                              : compare_spans(ra[i].name, sa, span(sa, ra[i]), sb, span(sb, rb[i]),
                                              buffers, r.regions, error);
    if (!compared) {
      return false;
    }
  }
  if (!compare_outside(sa, outside_pieces(sa, ra), sb, outside_pieces(sb, rb), buffers, r.regions,
                       error)) {
    return false;
  }
  r.regions.push_back(length_row(a.length, b.length));
  report = std::move(r);
  return true;
}

std::int64_t regions_differing(const DiffReport& r) {
  std::int64_t n = 0;
  for (const RegionDiff& d : r.regions) {
    n += d.same ? 0 : 1;
  }
  return n;
}

int diff_exit_status(const DiffReport& r) {
  return regions_differing(r) == 0 ? inspect_exit_pass : inspect_exit_fail;
}
