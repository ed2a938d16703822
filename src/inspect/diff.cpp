#include "inspect/diff.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "image/boot_header.h"
#include "image/layout.h"
#include "image/word_reverse.h"
#include "inspect/inspect.h"

namespace {

constexpr std::int64_t header_end = header_offset + static_cast<std::int64_t>(header_size);

// What one image's header says, where it has one.
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

// One buffer per side, a word longer than a stretch: a reversed side reads whole words.
struct Buffers {
  std::vector<std::uint8_t> a;
  std::vector<std::uint8_t> b;
};

Span span(const Side& s, std::int64_t from, std::int64_t to, bool reversed) {
  Span sp;
  sp.offset = std::min(from, s.source->length);
  sp.held = std::max<std::int64_t>(0, std::min(to, s.source->length) - sp.offset);
  sp.reversed = reversed;
  return sp;
}

// How many bytes to read `done` bytes into a span to compare `n` of them: where the span is
// reversed, the words are counted from its start, and a word it holds whole is read whole
// even where only part of it is compared.
std::int64_t read_count(const Span& sp, std::int64_t done, std::int64_t n) {
  return sp.reversed ? std::min((n + 3) / 4 * 4, sp.held - done) : n;
}

void count_differences(const Buffers& buffers, std::int64_t done, std::size_t n, RegionDiff& d) {
  for (std::size_t i = 0; i < n; ++i) {
    if (buffers.a[i] != buffers.b[i]) {
      d.first = d.count == 0 ? done + static_cast<std::int64_t>(i) : d.first;
      ++d.count;
    }
  }
}

bool compare_spans(const Side& a, const Span& sa, const Side& b, const Span& sb, Buffers& buffers,
                   RegionDiff& d, std::string& error) {
  d.kind = RegionKind::bytes;
  d.held_a = sa.held;
  d.held_b = sb.held;
  d.offset_a = sa.offset;
  d.offset_b = sb.offset;
  const std::int64_t common = std::min(sa.held, sb.held);
  for (std::int64_t done = 0; done < common;) {
    const std::int64_t n = std::min(common - done, stretch_bytes);
    const std::int64_t read_a = read_count(sa, done, n);
    const std::int64_t read_b = read_count(sb, done, n);
    if (!read_source(*a.source, sa.offset + done, buffers.a.data(), read_a, error) ||
        !read_source(*b.source, sb.offset + done, buffers.b.data(), read_b, error)) {
      return false;
    }
    const auto k = static_cast<std::size_t>(n);
    // Sides stored alike are equal un-reversed where they are equal as stored: the common case
    // is equality, so the words are turned back, and the bytes looked at one by one, only
    // where the stretches differ.
    const bool alike = sa.reversed == sb.reversed && read_a == read_b;
    if (alike && std::memcmp(buffers.a.data(), buffers.b.data(), k) == 0) {
      done += n;
      continue;
    }
    if (sa.reversed) {
      reverse_word_bytes(buffers.a.data(), static_cast<std::size_t>(read_a));
    }
    if (sb.reversed) {
      reverse_word_bytes(buffers.b.data(), static_cast<std::size_t>(read_b));
    }
    if (std::memcmp(buffers.a.data(), buffers.b.data(), k) != 0) {
      count_differences(buffers, done, k, d);
    }
    done += n;
  }
  if (sa.held != sb.held) {
    d.first = d.count == 0 ? common : d.first;
    d.count += std::max(sa.held, sb.held) - common;
  }
  d.same = d.count == 0;
  return true;
}

RegionDiff field(const char* what, const Side& a, const Side& b, std::uint32_t va,
                 std::uint32_t vb) {
  RegionDiff d;
  d.kind = RegionKind::field;
  d.what = what;
  d.a = va;
  d.b = vb;
  d.a_known = a.has_header;
  d.b_known = b.has_header;
  d.same = d.a_known == d.b_known && (!d.a_known || va == vb);
  return d;
}

void compare_fields(const Side& a, const Side& b, std::vector<RegionDiff>& out) {
  const std::pair<const char*, std::uint32_t ImageDescriptor::*> fields[] = {
      {"status", &ImageDescriptor::status}, {"flags", &ImageDescriptor::flags},
      {"crc", &ImageDescriptor::crc},       {"offset", &ImageDescriptor::offset},
      {"size", &ImageDescriptor::size},     {"load_addr", &ImageDescriptor::load_addr},
  };
  const std::pair<const char*, ImageDescriptor BootHeader::*> apps[] = {
      {"app1", &BootHeader::app1}, {"app2", &BootHeader::app2}};
  for (const auto& [app, descriptor] : apps) {
    for (const auto& [name, member] : fields) {
      const std::string what = std::string(app) + "." + name;
      out.push_back(field(what.c_str(), a, b, (a.header.*descriptor).*member,
                          (b.header.*descriptor).*member));
    }
  }
  out.push_back(field("header_crc", a, b, a.header.header_crc, b.header.header_crc));
}

// The reserved header bytes, where both sides have a header; else the header's bytes as a
// plain region, so that the side that holds them shows as differing.
bool compare_reserved(const Side& a, const Side& b, Buffers& buffers, RegionDiff& d,
                      std::string& error) {
  d.what = "header_reserved";
  if (!a.has_header || !b.has_header) {
    return compare_spans(a, span(a, header_offset, header_end, false), b,
                         span(b, header_offset, header_end, false), buffers, d, error);
  }
  d.kind = RegionKind::bytes;
  d.held_a = d.held_b = static_cast<std::int64_t>(header_size);
  d.offset_a = d.offset_b = header_offset;
  const HeaderMask& mask = header_field_bytes();
  for (std::size_t i = 0; i < header_size; ++i) {
    if (!mask[i] && a.bytes[i] != b.bytes[i]) {
      d.first = d.count == 0 ? static_cast<std::int64_t>(i) : d.first;
      ++d.count;
    }
  }
  d.same = d.count == 0;
  return true;
}

struct AppSpans {
  Span app;
  Span fill;
};

AppSpans app_spans(const Side& s, const ImageDescriptor& d) {
  if (!s.has_header) {
    return {span(s, 0, 0, false), span(s, 0, 0, false)};
  }
  const std::int64_t offset = d.offset;
  const std::int64_t end = offset + std::int64_t{d.size};
  return {span(s, offset, end, in_high_window(d.load_addr)),
          span(s, end, offset + pages(d.size) * page_size, false)};
}

// The pieces of a file that no region covers, in file order: after the image's end, and where
// a forged header leaves a gap between its regions or lays them out past each other.
std::vector<Span> outside_pieces(const Side& s, const AppSpans (&apps)[2]) {
  std::vector<Span> covered = {span(s, 0, app1_offset, false)};
  for (const AppSpans& a : apps) {
    covered.push_back(a.app);
    covered.push_back(a.fill);
  }
  std::sort(covered.begin(), covered.end(),
            [](const Span& x, const Span& y) { return x.offset < y.offset; });
  std::vector<Span> pieces;
  std::int64_t at = 0;
  for (const Span& c : covered) {
    if (c.held > 0 && c.offset > at) {
      pieces.push_back(span(s, at, c.offset, false));
    }
    at = c.held > 0 ? std::max(at, c.offset + c.held) : at;
  }
  if (at < s.source->length) {
    pieces.push_back(span(s, at, s.source->length, false));
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

std::int64_t total_held(const std::vector<Span>& pieces) {
  std::int64_t n = 0;
  for (const Span& p : pieces) {
    n += p.held;
  }
  return n;
}

// The bytes outside every region of each file, compared as one stream per file.
bool compare_outside(const Side& a, const std::vector<Span>& pa, const Side& b,
                     const std::vector<Span>& pb, Buffers& buffers, RegionDiff& d,
                     std::string& error) {
  d.kind = RegionKind::bytes;
  d.what = "outside";
  d.held_a = total_held(pa);
  d.held_b = total_held(pb);
  const std::int64_t common = std::min(d.held_a, d.held_b);
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
    const auto k = static_cast<std::size_t>(n);
    if (std::memcmp(buffers.a.data(), buffers.b.data(), k) != 0) {
      count_differences(buffers, done, k, d);
    }
    done += n;
    in_a += n;
    in_b += n;
  }
  if (d.held_a != d.held_b) {
    d.first = d.count == 0 ? common : d.first;
    d.count += std::max(d.held_a, d.held_b) - common;
  }
  d.same = d.count == 0;
  // The region's "start" in each file is chosen so that start + first is the first byte's place.
  d.offset_a = piece_offset(pa, d.first) - d.first;
  d.offset_b = piece_offset(pb, d.first) - d.first;
  return true;
}

bool read_side(const ByteSource& source, Side& s, std::string& error) {
  s.source = &source;
  s.has_header = source.length >= header_end;
  if (!s.has_header) {
    return true;
  }
  if (!read_source(source, header_offset, s.bytes.data(), static_cast<std::int64_t>(header_size),
                   error)) {
    return false;
  }
  s.header = decode_boot_header(s.bytes);
  return true;
}

}  // namespace

bool diff_images(const ByteSource& a, const ByteSource& b, DiffReport& report, std::string& error) {
  Side sa;
  Side sb;
  if (!read_side(a, sa, error) || !read_side(b, sb, error)) {
    return false;
  }
  const auto buffer = [](std::int64_t most) {
    return std::vector<std::uint8_t>(
        static_cast<std::size_t>(std::min(std::max<std::int64_t>(most, 0), stretch_bytes) + 4));
  };
  Buffers buffers{buffer(a.length), buffer(b.length)};
  DiffReport r;
  r.length_a = a.length;
  r.length_b = b.length;

  RegionDiff boot;
  boot.what = "bootloader";
  if (!compare_spans(sa, span(sa, bootloader_offset, header_offset, false), sb,
                     span(sb, bootloader_offset, header_offset, false), buffers, boot, error)) {
    return false;
  }
  r.regions.push_back(std::move(boot));
  compare_fields(sa, sb, r.regions);
  RegionDiff reserved;
  if (!compare_reserved(sa, sb, buffers, reserved, error)) {
    return false;
  }
  r.regions.push_back(std::move(reserved));
  RegionDiff page;
  page.what = "header_page_fill";
  if (!compare_spans(sa, span(sa, header_end, app1_offset, false), sb,
                     span(sb, header_end, app1_offset, false), buffers, page, error)) {
    return false;
  }
  r.regions.push_back(std::move(page));

  const AppSpans apps_a[] = {app_spans(sa, sa.header.app1), app_spans(sa, sa.header.app2)};
  const AppSpans apps_b[] = {app_spans(sb, sb.header.app1), app_spans(sb, sb.header.app2)};
  const char* names[2][2] = {{"app1", "app1_fill"}, {"app2", "app2_fill"}};
  for (std::size_t i = 0; i < 2; ++i) {
    RegionDiff app;
    app.what = names[i][0];
    RegionDiff fill;
    fill.what = names[i][1];
    if (!compare_spans(sa, apps_a[i].app, sb, apps_b[i].app, buffers, app, error) ||
        !compare_spans(sa, apps_a[i].fill, sb, apps_b[i].fill, buffers, fill, error)) {
      return false;
    }
    r.regions.push_back(std::move(app));
    r.regions.push_back(std::move(fill));
  }
  RegionDiff outside;
  if (!compare_outside(sa, outside_pieces(sa, apps_a), sb, outside_pieces(sb, apps_b), buffers,
                       outside, error)) {
    return false;
  }
  r.regions.push_back(std::move(outside));
  RegionDiff length;
  length.kind = RegionKind::length;
  length.what = "length";
  length.a = a.length;
  length.b = b.length;
  length.same = a.length == b.length;
  r.regions.push_back(std::move(length));
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
