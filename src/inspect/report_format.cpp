#include "inspect/inspect.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

#include "image/layout.h"
#include "image/regions.h"

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0 when the bytes there are not one:
// no overlong forms, no surrogates, nothing above U+10FFFF, as a strict decoder demands.
std::size_t utf8_sequence(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
  };
  const unsigned lead = byte(at);
  if (lead < 0x80) {
    return 1;
  }
  // The lead byte gives the length and bounds the second byte; the others are 0x80..0xBF.
  const std::size_t n = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  for (std::size_t i = 1; i < n; ++i) {
    if (byte(at + i) < (i == 1 ? low : 0x80) || byte(at + i) > (i == 1 ? high : 0xBF)) {
      return 0;
    }
  }
  return n;
}

// `"KEY": "path", "KEY_hex": null` for a path that is UTF-8; where it is not, KEY_hex holds
// the path's exact bytes in lower-case hexadecimal, since KEY cannot.
std::string json_path(const char* key, const std::string& path) {
  bool utf8 = true;
  for (std::size_t i = 0, n = 0; utf8 && i < path.size(); i += n) {
    n = utf8_sequence(path, i);
    utf8 = n > 0;
  }
  std::string text = format_text("\"%s\": ", key) + json_string(path);
  text += format_text(", \"%s_hex\": ", key) + (utf8 ? "null" : "\"");
  for (std::size_t i = 0; !utf8 && i < path.size(); ++i) {
    text += format_text("%02x", static_cast<unsigned>(static_cast<unsigned char>(path[i])));
  }
  return utf8 ? text : text + '"';
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator,
                   const std::string& open = "", const std::string& close = "") {
  std::string text = open;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    text += i > 0 ? separator : "";
    text += parts[i];
  }
  return text + close;
}

// Each `"key": value` of the items with JSON; without a key, the value alone.
std::vector<std::string> json_members(const std::vector<Item>& items) {
  std::vector<std::string> members;
  for (const Item& m : items) {
    if (!m.json.empty()) {
      members.push_back(m.key == nullptr ? m.json : format_text("\"%s\": ", m.key) + m.json);
    }
  }
  return members;
}

// The members on one line: an element of a list, or a small object.
std::string json_inline(const std::vector<Item>& members) {
  return joined(json_members(members), ", ", "{", "}");
}

// One line for each of `lines`, indented by `depth` levels, between the brackets; nothing
// between brackets that hold nothing.
std::string json_lines(char open, const std::vector<std::string>& lines, std::size_t depth,
                       char close) {
  if (lines.empty()) {
    return {open, close};
  }
  std::string indent(2 * depth + 1, ' ');
  indent[0] = '\n';
  return joined(lines, "," + indent, open + indent, indent.substr(0, 2 * depth - 1) + close);
}

// By Verdict, and by RegionKind.
constexpr const char* verdict_names[] = {"pass", "warn", "fail", "skip"};
constexpr const char* kind_names[] = {"field", "bytes", "length"};

std::string number(std::int64_t n) {
  return format_text("%lld", static_cast<long long>(n));
}

std::string number_or_null(bool known, std::int64_t n) {
  return known ? number(n) : "null";
}

const char* json_bool_text(bool value) {
  return value ? "true" : "false";
}

// What the header says of one application and what its bytes give, one fact a row.
std::vector<Item> app_facts(const AppFacts& app) {
  const ImageDescriptor& d = app.stored;
  const bool high_window = in_high_window(d.load_addr);
  const std::int64_t n = pages(d.size);
  const std::string flags =
      (d.flags & ~flag_high_window_status) != 0
          ? format_text("bits other than 0x%08x set", flag_high_window_status)
      : d.flags == 0    ? "flag bit clear"
      : flag_allowed(d) ? "flag bit set; agrees: active, load address in the high window"
      : d.status != 1   ? "flag bit set; disagrees: the application is not active"
                        : "flag bit set; disagrees: the load address is below the high window";
  std::string crc =
      app.in_file ? format_text("stored 0x%08x, computed 0x%08x%s", d.crc, app.computed_crc,
                                high_window ? " (over the un-reversed bytes)" : "")
                  : format_text("stored 0x%08x, computed none (past the end of the file)", d.crc);
  return {{"status", number(d.status), "status",
           format_text("%u (%s)", d.status,
                       d.status == 0   ? "invalid"
                       : d.status == 1 ? "active"
                                       : "neither active nor invalid")},
          {"active", json_bool_text(d.status == 1)},
          {"flags", number(d.flags), "flags", format_text("0x%08x (%s)", d.flags, flags.c_str())},
          {"flag_set", json_bool_text((d.flags & flag_high_window_status) != 0)},
          {"flag_allowed", json_bool_text(flag_allowed(d))},
          {"load_addr", number(d.load_addr), "load address",
           format_text("0x%08x (%s)", d.load_addr,
                       high_window ? "in the high window: stored word-reversed"
                                   : "below the high window: stored as is")},
          {"high_window", json_bool_text(high_window)},
          {"offset", number(d.offset), "offset", format_text("0x%08x", d.offset)},
          {"size", number(d.size), "size",
           format_text("0x%08x (%u bytes, %llu %s)", d.size, d.size, as_ull(n),
                       n == 1 ? "page" : "pages")},
          {"pages", number(n)},
          {"in_file", json_bool_text(app.in_file)},
          {"crc_stored", number(d.crc), "crc", crc},
          {"crc_computed", number_or_null(app.in_file, app.computed_crc)}};
}

// A row of the checks, or without its verdict in the JSON a warning of --against.
Item check_row(const CheckResult& c, bool with_verdict) {
  const char* verdict = verdict_names[static_cast<std::size_t>(c.verdict)];
  return {nullptr,
          json_inline({{"name", json_string(c.name)},
                       {"verdict", with_verdict ? json_string(verdict) : ""},
                       {"detail", json_string(c.detail)}}),
          nullptr, format_text("  %-5s %-16s %s", verdict, c.name, c.detail.c_str()),
          c.verdict == Verdict::fail || c.verdict == Verdict::warn};
}

// Each region's bar, `width` columns over [0, span), '#' where it lies. A region that holds no
// byte marks nothing; one that holds bytes marks at least one column. A region that starts
// where the one before it ended gets columns of its own, pushed right past its neighbour's
// where both would share one, and pulled back from the bar's end where that runs out of room.
// Regions of a forged header that overlap may share columns.
std::vector<std::string> region_bars(const std::vector<RegionSpan>& map, std::int64_t span,
                                     std::int64_t width) {
  const auto column = [&](std::int64_t at) {
    return span == 0 ? 0 : std::min(width, (at * width + span / 2) / span);
  };
  std::vector<std::int64_t> from(map.size(), 0);
  std::vector<std::int64_t> to(map.size(), 0);
  std::vector<bool> follows(map.size(), false);
  std::int64_t chain_end = -1;
  std::int64_t next_free = 0;
  for (std::size_t i = 0; i < map.size(); ++i) {
    if (map[i].end > map[i].offset) {
      follows[i] = chain_end >= 0 && map[i].offset >= chain_end;
      from[i] = follows[i] ? std::max(column(map[i].offset), next_free) : column(map[i].offset);
      to[i] = std::max(column(map[i].end), from[i] + 1);
      chain_end = map[i].end;
      next_free = to[i];
    }
  }
  std::vector<std::string> bars(map.size(), std::string(static_cast<std::size_t>(width), '.'));
  std::int64_t limit = width;
  for (std::size_t i = map.size(); i-- > 0;) {
    if (map[i].end > map[i].offset) {
      to[i] = std::min(to[i], limit);
      from[i] = std::max<std::int64_t>(0, std::min(from[i], to[i] - 1));
      limit = follows[i] ? from[i] : width;
      std::fill(bars[i].begin() + from[i], bars[i].begin() + to[i], '#');
    }
  }
  return bars;
}

// The regions with a bar that shows where each lies in the file; without a header, the first.
Block map_block(const InspectReport& r) {
  const ImageRegions regions = image_regions(r.header);
  const std::vector<RegionSpan> map(regions.begin(),
                                    r.header_present ? regions.end() : regions.begin() + 1);
  // The bar spans the file, or further when a forged region reaches past its end; the columns
  // are as wide as the longest number, eight digits at least.
  std::int64_t span = r.length;
  int digits = 8;
  for (const RegionSpan& region : map) {
    span = std::max(span, region.end);
    const std::string most = format_text("%llx", as_ull(std::max(region.offset, region.end)));
    digits = std::max(digits, static_cast<int>(most.size()));
  }
  constexpr std::int64_t bar_width = 32;
  const std::vector<std::string> bars = region_bars(map, span, bar_width);
  const int column = digits + 4;
  Block block{
      BlockKind::list, "map", true,
      format_text("map:\n  %-*s%-*s%-*s", column, "offset", column, "end", column, "length") + "|" +
          std::string(bar_width, ' ') + "|  what"};
  for (std::size_t i = 0; i < map.size(); ++i) {
    const RegionSpan& region = map[i];
    block.items.push_back(
        {nullptr,
         json_inline({{"offset", number(region.offset)},
                      {"end", number(region.end)},
                      {"length", number(region.end - region.offset)},
                      {"name", json_string(region.report_name)}}),
         nullptr,
         format_text("  0x%0*llx  0x%0*llx  0x%0*llx  |%s|  %s%s", digits, as_ull(region.offset),
                     digits, as_ull(region.end), digits, as_ull(region.end - region.offset),
                     bars[i].c_str(), region.label,
                     region.end > r.length ? " (past the end of the file)" : "")});
  }
  if (!r.header_present) {
    block.items.push_back(
        {nullptr, "", nullptr,
         "  (the file ends before the header; nothing after it can be laid out)"});
  }
  return block;
}

// A row of --against, A the image and B what the inputs give; --quiet keeps every difference.
Item difference_row(const RegionDiff& d) {
  std::vector<Item> members = {{"what", json_string(d.what)},
                               {"kind", json_string(kind_names[static_cast<std::size_t>(d.kind)])}};
  std::string text;
  if (d.kind == RegionKind::bytes) {
    members.insert(members.end(), {{"count", number(d.count)},
                                   {"first_offset", number(d.first)},
                                   {"first_image_offset", number(d.offset_a + d.first)}});
    text = format_text("%llu %s, the first at 0x%08llx in the region (0x%08llx in the image)",
                       as_ull(d.count), d.count == 1 ? "byte differs" : "bytes differ",
                       as_ull(d.first), as_ull(d.offset_a + d.first));
  } else {
    members.insert(members.end(), {{"image", number(d.a)}, {"inputs", number(d.b)}});
    text = format_text(
        "image 0x%08llx, inputs give 0x%08llx%s", as_ull(d.a), as_ull(d.b),
        d.kind == RegionKind::length ? " (bytes that only one side holds are not compared)" : "");
  }
  return {nullptr, json_inline(members), nullptr, "  " + d.what + ": " + text, true};
}

std::string path_length(const std::string& path, std::int64_t length) {
  return path + format_text(" (0x%llx bytes)", as_ull(length));
}

// A row of --diff; --quiet keeps the regions that differ.
Item region_row(const RegionDiff& d) {
  std::vector<Item> members = {{"what", json_string(d.what)},
                               {"kind", json_string(kind_names[static_cast<std::size_t>(d.kind)])},
                               {"same", json_bool_text(d.same)}};
  // A field's value, and where the first differing byte lies in each file (if it holds it).
  const auto hex = [](bool known, std::int64_t n, const char* unknown) {
    return known ? format_text("0x%08llx", as_ull(n)) : std::string(unknown);
  };
  std::string text;
  if (d.kind == RegionKind::bytes) {
    members.insert(
        members.end(),
        {{"length_a", number(d.held_a)},
         {"length_b", number(d.held_b)},
         {"count", number(d.count)},
         {"first_offset", number_or_null(!d.same, d.first)},
         {"first_offset_a", number_or_null(!d.same && d.first < d.held_a, d.offset_a + d.first)},
         {"first_offset_b", number_or_null(!d.same && d.first < d.held_b, d.offset_b + d.first)}});
    text = d.held_a == d.held_b ? format_text("%s (0x%llx bytes)", d.what.c_str(), as_ull(d.held_a))
                                : format_text("%s (A 0x%llx bytes, B 0x%llx)", d.what.c_str(),
                                              as_ull(d.held_a), as_ull(d.held_b));
    if (!d.same) {
      text += format_text(": %llu %s, the first at 0x%llx in the region (%s in A, %s in B)",
                          as_ull(d.count), d.count == 1 ? "byte differs" : "bytes differ",
                          as_ull(d.first),
                          hex(d.first < d.held_a, d.offset_a + d.first, "past its end").c_str(),
                          hex(d.first < d.held_b, d.offset_b + d.first, "past its end").c_str());
    }
  } else {
    members.insert(members.end(),
                   {{"a", number_or_null(d.a_known, d.a)}, {"b", number_or_null(d.b_known, d.b)}});
    const std::string a = hex(d.a_known, d.a, "none (no header)");
    text =
        d.what + ": " + (d.same ? a : "A " + a + ", B " + hex(d.b_known, d.b, "none (no header)"));
  }
  return {nullptr, json_inline(members), nullptr,
          format_text("  %-8s %s", d.same ? "same" : "differs", text.c_str()), !d.same};
}

}  // namespace

std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t n = utf8_sequence(text, i);
    if (n == 0) {
      quoted += "\\ufffd";  // a byte that is not UTF-8; the hex field keeps the exact bytes
    } else if (byte == '"' || byte == '\\') {
      quoted += {'\\', text[i]};
    } else if (byte < 0x20 || byte == 0x7F) {
      quoted += format_text("\\u%04x", static_cast<unsigned>(byte));
    } else {
      quoted.append(text, i, n);
    }
    i += std::max<std::size_t>(n, 1);
  }
  return quoted + '"';
}

std::string format_text(const char* format, ...) {
  std::array<char, 512> text{};
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  return text.data();
}

Doc report_doc(const std::string& path, const InspectReport& r, bool with_map) {
  const std::int64_t image_pages = pages(r.length);
  const bool header = r.header_present;
  const char* none = header ? "" : "null";
  const ReadbackFacts& rb = r.readback;
  const std::string readback =
      !rb.requested ? ""
      : !rb.end_known
          ? format_text(
                "0x%08llx bytes; the image's end is unknown, so the whole file is judged "
                "as the image (see readback_tail)",
                as_ull(rb.file_length))
          : format_text("0x%08llx bytes: the image, then 0x%llx bytes after it, %s",
                        as_ull(rb.file_length), as_ull(rb.file_length - r.length),
                        rb.tail.count == 0
                            ? "all 0xFF"
                            : format_text("%llu of them not 0xFF, the first at 0x%08llx",
                                          as_ull(rb.tail.count), as_ull(rb.tail.first))
                                  .c_str());
  // The file, its length and, without a header, the nulls of all that the header lays out.
  Doc doc = {{.width = 7,
              .items = {{nullptr, json_path("file", path), "image", path},
                        {"length", number(r.length), "length",
                         format_text("0x%08llx (%llu bytes, %llu %s%s)", as_ull(r.length),
                                     as_ull(r.length), as_ull(image_pages),
                                     image_pages == 1 ? "page" : "pages",
                                     r.length % page_size != 0 ? ", the last one partial" : "")},
                        {"pages", number(image_pages)},
                        {nullptr, "", "read-back", readback},
                        {"header_present", json_bool_text(header)},
                        {nullptr, "", "header",
                         header ? ""
                                : format_text("not in the file, which ends before 0x%08llx",
                                              as_ull(header_end))},
                        {"app1", none},
                        {"app2", none},
                        {"header_crc_stored", none},
                        {"header_crc_computed", none}}}};
  if (header) {
    doc.push_back({BlockKind::object, "app1", true, "APP1", 13, app_facts(r.app1)});
    doc.push_back({BlockKind::object, "app2", false, "APP2", 13, app_facts(r.app2)});
    doc.push_back({.gap = true,
                   .items = {{"header_crc_stored", number(r.header.header_crc), "header crc",
                              format_text("stored 0x%08x, computed 0x%08x", r.header.header_crc,
                                          r.computed_header_crc)},
                             {"header_crc_computed", number(r.computed_header_crc)}}});
  }
  doc.push_back({BlockKind::list, "checks", true, "checks:"});
  int n[4] = {};  // the checks by Verdict
  for (const CheckResult& c : r.checks) {
    doc.back().items.push_back(check_row(c, true));
    ++n[static_cast<std::size_t>(c.verdict)];
  }
  const bool pass = report_exit_status(r) == inspect_exit_pass;
  doc.push_back(
      {.items = {{"passed", number(n[0]), "summary",
                  format_text("%s: %d passed, %d %s, %d failed, %d skipped", pass ? "PASS" : "FAIL",
                              n[0], n[1], n[1] == 1 ? "warning" : "warnings", n[2], n[3]),
                  true},
                 {"warnings", number(n[1])},
                 {"failed", number(n[2])},
                 {"skipped", number(n[3])}}});
  if (with_map) {
    doc.push_back(map_block(r));
  }
  doc.push_back(
      {.items = {
           {"readback",
            rb.requested
                ? json_inline(
                      {{"file_length", number(rb.file_length)},
                       {"end_known", json_bool_text(rb.end_known)},
                       {"tail_bytes", number_or_null(rb.end_known, rb.file_length - r.length)},
                       {"tail_not_ff", number_or_null(rb.end_known, rb.tail.count)},
                       {"tail_first_not_ff",
                        number_or_null(rb.end_known && rb.tail.count > 0, rb.tail.first)}})
                : ""},
           {"result", json_string(pass ? "pass" : "fail")}}});
  return doc;
}

Block strict_block(const std::vector<CheckResult>& checks, const std::vector<const char*>& allow,
                   bool& failed) {
  std::vector<std::string> names[2];  // the warnings not allowed, and those allowed
  std::vector<std::string> quoted[2];
  for (const CheckResult& c : checks) {
    const bool allowed = std::find(allow.begin(), allow.end(), std::string(c.name)) != allow.end();
    if (c.verdict == Verdict::warn) {
      names[allowed].push_back(c.name);
      quoted[allowed].push_back(json_string(c.name));
    }
  }
  std::vector<std::string> parts;
  for (std::size_t k = 0; k < 2; ++k) {
    if (!names[k].empty()) {
      parts.push_back(format_text("%llu warning%s %s (", as_ull(std::ssize(names[k])),
                                  names[k].size() == 1 ? "" : "s",
                                  k == 0 ? "not allowed" : "allowed") +
                      joined(names[k], ", ") + ")");
    }
  }
  failed = !names[0].empty();
  return {.items = {{"strict",
                     json_inline({{"result", json_string(failed ? "fail" : "pass")},
                                  {"not_allowed", joined(quoted[0], ", ", "[", "]")},
                                  {"allowed", joined(quoted[1], ", ", "[", "]")}}),
                     "strict",
                     std::string(failed ? "FAIL: " : "PASS: ") +
                         (parts.empty() ? "no warning" : joined(parts, "; ")),
                     true}}};
}

std::string render_text(const Doc& doc, bool quiet) {
  std::string text;
  for (const Block& block : doc) {
    const int indent = block.title.empty() ? 0 : 2;
    std::string lines;
    for (const Item& item : block.items) {
      if (!item.text.empty() && (!quiet || item.quiet)) {
        lines += (item.label == nullptr ? ""
                                        : format_text("%*s%-*s ", indent, "", block.width,
                                                      (std::string(item.label) + ":").c_str())) +
                 item.text + "\n";
      }
    }
    if (!quiet && !lines.empty()) {
      text += block.gap ? "\n" : "";
      text += block.title.empty() ? "" : block.title + "\n";
    }
    text += lines;
  }
  return text;
}

std::string render_json(const Doc& doc) {
  std::vector<std::string> members;
  for (const Block& block : doc) {
    const std::vector<std::string> lines = json_members(block.items);
    if (block.kind == BlockKind::facts) {
      members.insert(members.end(), lines.begin(), lines.end());
    } else {
      const bool list = block.kind == BlockKind::list;
      members.push_back(format_text("\"%s\": ", block.key) +
                        json_lines(list ? '[' : '{', lines, 2, list ? ']' : '}'));
    }
  }
  return json_lines('{', members, 1, '}') + "\n";
}

Doc against_doc(const std::string& path, const RunArgs& args, const AgainstReport& r) {
  constexpr int width = 11;
  Doc doc = {{.width = width, .items = {{nullptr, json_path("file", path), "image", path}}},
             {BlockKind::object, "inputs", false, "", width}};
  const char* names[][2] = {{"bootloader", "bootloader"}, {"app1", "APP1"}, {"app2", "APP2"}};
  const char* paths[] = {args.src1, args.src2, args.src3};
  const std::uint32_t load_addrs[] = {0, args.load_addr1, args.load_addr2};
  const int statuses[] = {0, args.status1, args.status2};
  for (std::size_t i = 0; i < 3; ++i) {
    const bool app = i > 0;  // an application: also the load address and status it was given
    doc[1].items.push_back(
        {names[i][0],
         json_inline({{nullptr, json_path("file", paths[i])},
                      {"length", number(r.input_lengths[i])},
                      {"load_addr", app ? number(load_addrs[i]) : ""},
                      {"status", app ? number(statuses[i]) : ""}}),
         names[i][1],
         path_length(paths[i], r.input_lengths[i]) +
             (app ? format_text(", load address 0x%08x, status %d", load_addrs[i], statuses[i])
                  : "")});
  }
  doc.push_back(
      {.width = width,
       .items = {
           {"length", number(r.length), "length",
            format_text("image 0x%08llx, inputs give 0x%08llx", as_ull(r.length),
                        as_ull(r.expected_length))},
           {"expected_length", number(r.expected_length)},
           {"readback_tail_bytes", r.readback ? number(r.tail_bytes) : "", "read-back",
            r.readback ? format_text("0x%llx bytes after the image's end", as_ull(r.tail_bytes))
                       : ""}}});
  doc.push_back({BlockKind::list, "warnings", true, "warnings:"});
  for (const CheckResult& c : r.warnings) {
    doc.back().items.push_back(check_row(c, false));
  }
  doc.push_back({BlockKind::list, "differences", true, "differences:"});
  for (const RegionDiff& d : r.differences) {
    doc.back().items.push_back(difference_row(d));
  }
  const bool same = r.differences.empty();
  doc.push_back(
      {.items = {{"result", json_string(same ? "identical" : "different"), "result",
                  same ? std::string("IDENTICAL: the image is exactly what velmora "
                                     "writes from these inputs")
                       : format_text("DIFFERENT: %llu %s", as_ull(std::ssize(r.differences)),
                                     r.differences.size() == 1 ? "difference" : "differences"),
                  true}}});
  return doc;
}

Doc diff_doc(const std::string& path_a, const std::string& path_b, const DiffReport& r) {
  std::vector<Item> regions;
  for (const RegionDiff& d : r.regions) {
    regions.push_back(region_row(d));
  }
  const std::int64_t differing = regions_differing(r);
  return {
      {.width = 2,
       .items = {{nullptr, json_path("file_a", path_a), "A", path_length(path_a, r.length_a)},
                 {nullptr, json_path("file_b", path_b), "B", path_length(path_b, r.length_b)},
                 {"length_a", number(r.length_a)},
                 {"length_b", number(r.length_b)}}},
      {BlockKind::list, "regions", true, "regions:", 0, std::move(regions)},
      {.items = {{"same", number(std::ssize(r.regions) - differing)},
                 {"different", number(differing)},
                 {"result", json_string(differing == 0 ? "identical" : "different"), "result",
                  differing == 0 ? std::string("IDENTICAL: every region is the same")
                                 : format_text("DIFFERENT: %llu of %llu regions differ",
                                               as_ull(differing), as_ull(std::ssize(r.regions))),
                  true}}},
  };
}
