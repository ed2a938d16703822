#include "inspect/report_format.h"

#include <algorithm>
#include <cstdint>

#include "image/layout.h"
#include "inspect/format_text.h"

namespace {

struct Tally {
  int passed = 0;
  int warnings = 0;
  int failed = 0;
  int skipped = 0;
};

Tally tally(const InspectReport& r) {
  Tally t;
  for (const CheckResult& c : r.checks) {
    switch (c.verdict) {
      case Verdict::pass:
        ++t.passed;
        break;
      case Verdict::warn:
        ++t.warnings;
        break;
      case Verdict::fail:
        ++t.failed;
        break;
      case Verdict::skip:
        ++t.skipped;
        break;
    }
  }
  return t;
}

unsigned long long as_ull(std::int64_t n) {
  return static_cast<unsigned long long>(n);
}

const char* page_word(std::int64_t n) {
  return n == 1 ? "page" : "pages";
}

const char* status_meaning(std::uint32_t status) {
  switch (status) {
    case 0:
      return "invalid";
    case 1:
      return "active";
    default:
      return "neither active nor invalid";
  }
}

std::string flags_meaning(const ImageDescriptor& d) {
  if ((d.flags & ~flag_high_window_status) != 0) {
    return format_text("bits other than 0x%08x set", flag_high_window_status);
  }
  if (d.flags == 0) {
    return "flag bit clear";
  }
  if (flag_allowed(d)) {
    return "flag bit set; agrees: active, load address in the high window";
  }
  if (d.status != 1) {
    return "flag bit set; disagrees: the application is not active";
  }
  return "flag bit set; disagrees: the load address is below the high window";
}

std::string app_text(const char* title, const AppFacts& app) {
  const ImageDescriptor& d = app.stored;
  std::string text = format_text("%s\n", title);
  text += format_text("  status:       %u (%s)\n", d.status, status_meaning(d.status));
  text += format_text("  flags:        0x%08x (%s)\n", d.flags, flags_meaning(d).c_str());
  text += format_text("  load address: 0x%08x (%s)\n", d.load_addr,
                      app.high_window ? "in the high window: stored word-reversed"
                                      : "below the high window: stored as is");
  text += format_text("  offset:       0x%08x\n", d.offset);
  text += format_text("  size:         0x%08x (%u bytes, %lld %s)\n", d.size, d.size,
                      static_cast<long long>(app.pages), page_word(app.pages));
  if (app.in_file) {
    text += format_text("  crc:          stored 0x%08x, computed 0x%08x%s\n", d.crc,
                        app.computed_crc, app.high_window ? " (over the un-reversed bytes)" : "");
  } else {
    text += format_text("  crc:          stored 0x%08x, computed none (past the end of the file)\n",
                        d.crc);
  }
  return text;
}

std::string app_json(const AppFacts& app) {
  const ImageDescriptor& d = app.stored;
  std::string text = "{\n";
  text += format_text("    \"status\": %u,\n", d.status);
  text += format_text("    \"active\": %s,\n", d.status == 1 ? "true" : "false");
  text += format_text("    \"flags\": %u,\n", d.flags);
  text += format_text("    \"flag_set\": %s,\n",
                      (d.flags & flag_high_window_status) != 0 ? "true" : "false");
  text += format_text("    \"flag_allowed\": %s,\n", flag_allowed(d) ? "true" : "false");
  text += format_text("    \"load_addr\": %u,\n", d.load_addr);
  text += format_text("    \"high_window\": %s,\n", app.high_window ? "true" : "false");
  text += format_text("    \"offset\": %u,\n", d.offset);
  text += format_text("    \"size\": %u,\n", d.size);
  text += format_text("    \"pages\": %lld,\n", static_cast<long long>(app.pages));
  text += format_text("    \"in_file\": %s,\n", app.in_file ? "true" : "false");
  text += format_text("    \"crc_stored\": %u,\n", d.crc);
  text += app.in_file ? format_text("    \"crc_computed\": %u\n", app.computed_crc)
                      : std::string("    \"crc_computed\": null\n");
  text += "  }";
  return text;
}

}  // namespace

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::pass:
      return "pass";
    case Verdict::warn:
      return "warn";
    case Verdict::fail:
      return "fail";
    case Verdict::skip:
      return "skip";
  }
  return "skip";
}

std::string report_text(const std::string& path, const InspectReport& r) {
  std::string text = "image:  " + path + "\n";
  const std::int64_t image_pages = pages(r.length);
  text += format_text("length: 0x%08llx (%lld bytes, %lld %s%s)\n", as_ull(r.length),
                      static_cast<long long>(r.length), static_cast<long long>(image_pages),
                      page_word(image_pages),
                      r.length % page_size != 0 ? ", the last one partial" : "");
  if (r.header_present) {
    text += '\n';
    text += app_text("APP1", r.app1);
    text += app_text("APP2", r.app2);
    text += '\n';
    text += format_text("header crc: stored 0x%08x, computed 0x%08x\n", r.header.header_crc,
                        r.computed_header_crc);
  } else {
    text += format_text("header: not in the file, which ends before 0x%08llx\n",
                        as_ull(header_offset + static_cast<std::int64_t>(header_size)));
  }

  text += "\nchecks:\n";
  for (const CheckResult& c : r.checks) {
    text += format_text("  %-5s %-16s %s\n", verdict_name(c.verdict), c.name, c.detail.c_str());
  }
  const Tally t = tally(r);
  text += format_text("summary: %s: %d passed, %d %s, %d failed, %d skipped\n",
                      report_exit_status(r) == inspect_exit_pass ? "PASS" : "FAIL", t.passed,
                      t.warnings, t.warnings == 1 ? "warning" : "warnings", t.failed, t.skipped);
  return text;
}

std::vector<MapRegion> image_map(const InspectReport& r) {
  const auto at = [](std::int64_t offset, std::int64_t end, const char* name, const char* what) {
    MapRegion region;
    region.offset = offset;
    region.end = end;
    region.name = name;
    region.what = what;
    return region;
  };
  const std::int64_t header_end = header_offset + static_cast<std::int64_t>(header_size);
  std::vector<MapRegion> map = {at(bootloader_offset, header_offset, "bootloader", "bootloader")};
  if (!r.header_present) {
    return map;
  }
  map.push_back(at(header_offset, header_end, "header", "header"));
  map.push_back(at(header_end, app1_offset, "header_page_rest", "rest of the header page"));
  struct Names {
    const AppFacts* app;
    const char* names[4];
  };
  const Names apps[] = {{&r.app1, {"app1", "APP1", "app1_padding", "APP1 padding"}},
                        {&r.app2, {"app2", "APP2", "app2_padding", "APP2 padding"}}};
  for (const Names& a : apps) {
    const std::int64_t offset = a.app->stored.offset;
    const std::int64_t end = offset + a.app->stored.size;
    map.push_back(at(offset, end, a.names[0], a.names[1]));
    map.push_back(at(end, offset + a.app->pages * page_size, a.names[2], a.names[3]));
  }
  return map;
}

std::string map_text(const InspectReport& r) {
  const std::vector<MapRegion> map = image_map(r);
  // The bar spans the file, or further when a forged region reaches past its end.
  std::int64_t span = r.length;
  for (const MapRegion& region : map) {
    span = std::max(span, region.end);
  }
  constexpr std::int64_t bar_width = 32;
  std::string text = "\nmap:\n  offset      end         length      ";
  text += "|" + std::string(bar_width, ' ') + "|  what\n";
  for (const MapRegion& region : map) {
    const std::int64_t length = region.end - region.offset;
    // Every region that holds a byte shows at least one mark.
    std::int64_t from = span == 0 ? 0 : region.offset * bar_width / span;
    std::int64_t to = span == 0 ? 0 : (region.end * bar_width + span - 1) / span;
    if (length > 0 && to <= from) {
      to = from + 1;
    }
    from = std::min(from, bar_width);
    to = std::min(to, bar_width);
    std::string bar(static_cast<std::size_t>(bar_width), '.');
    for (std::int64_t i = from; i < to; ++i) {
      bar[static_cast<std::size_t>(i)] = '#';
    }
    text += format_text("  0x%08llx  0x%08llx  0x%08llx  |%s|  %s%s\n", as_ull(region.offset),
                        as_ull(region.end), as_ull(length), bar.c_str(), region.what,
                        region.end > r.length ? " (past the end of the file)" : "");
  }
  if (!r.header_present) {
    text += "  (the file ends before the header; nothing after it can be laid out)\n";
  }
  return text;
}

std::string report_json(const std::string& path, const InspectReport& r, bool with_map) {
  std::string text = "{\n";
  text += "  " + json_path("file", path) + ",\n";
  text += format_text("  \"length\": %lld,\n", static_cast<long long>(r.length));
  text += format_text("  \"pages\": %lld,\n", static_cast<long long>(pages(r.length)));
  text += format_text("  \"header_present\": %s,\n", r.header_present ? "true" : "false");
  if (r.header_present) {
    text += "  \"app1\": " + app_json(r.app1) + ",\n";
    text += "  \"app2\": " + app_json(r.app2) + ",\n";
    text += format_text("  \"header_crc_stored\": %u,\n", r.header.header_crc);
    text += format_text("  \"header_crc_computed\": %u,\n", r.computed_header_crc);
  } else {
    text += "  \"app1\": null,\n  \"app2\": null,\n";
    text += "  \"header_crc_stored\": null,\n  \"header_crc_computed\": null,\n";
  }
  text += "  \"checks\": [";
  for (std::size_t i = 0; i < r.checks.size(); ++i) {
    const CheckResult& c = r.checks[i];
    text += i == 0 ? "\n" : ",\n";
    text += "    {\"name\": " + json_string(c.name) + ", \"verdict\": \"" +
            verdict_name(c.verdict) + "\", \"detail\": " + json_string(c.detail) + "}";
  }
  text += "\n  ],\n";
  const Tally t = tally(r);
  text += format_text("  \"passed\": %d,\n  \"warnings\": %d,\n  \"failed\": %d,\n", t.passed,
                      t.warnings, t.failed);
  text += format_text("  \"skipped\": %d,\n", t.skipped);
  if (with_map) {
    text += "  \"map\": [";
    const std::vector<MapRegion> map = image_map(r);
    for (std::size_t i = 0; i < map.size(); ++i) {
      text += i == 0 ? "\n" : ",\n";
      text +=
          format_text("    {\"offset\": %lld, \"end\": %lld, \"length\": %lld, \"name\": \"%s\"}",
                      static_cast<long long>(map[i].offset), static_cast<long long>(map[i].end),
                      static_cast<long long>(map[i].end - map[i].offset), map[i].name);
    }
    text += "\n  ],\n";
  }
  text += format_text("  \"result\": \"%s\"\n",
                      report_exit_status(r) == inspect_exit_pass ? "pass" : "fail");
  text += "}\n";
  return text;
}

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0 when the bytes there are not one:
// no overlong forms, no surrogates, nothing above U+10FFFF, as a strict decoder demands.
std::size_t utf8_sequence(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
  };
  const unsigned lead = byte(at);
  const auto tail = [&](std::size_t i, unsigned low, unsigned high) {
    return byte(at + i) >= low && byte(at + i) <= high;
  };
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    return tail(1, 0x80, 0xBF) ? 2 : 0;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : 0xBF;
    return tail(1, low, high) && tail(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
    return tail(1, low, high) && tail(2, 0x80, 0xBF) && tail(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

}  // namespace

bool is_utf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_sequence(text, i);
    if (n == 0) {
      return false;
    }
    i += n;
  }
  return true;
}

std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char ch = text[i];
    const auto byte = static_cast<unsigned char>(ch);
    const std::size_t n = utf8_sequence(text, i);
    if (n == 0) {
      quoted += "\\ufffd";  // a byte that is not UTF-8; the hex field keeps the exact bytes
      ++i;
      continue;
    }
    if (ch == '"' || ch == '\\') {
      quoted += '\\';
      quoted += ch;
    } else if (byte < 0x20 || byte == 0x7F) {
      quoted += format_text("\\u%04x", static_cast<unsigned>(byte));
    } else {
      quoted.append(text, i, n);
    }
    i += n;
  }
  quoted += '"';
  return quoted;
}

std::string json_path(const char* key, const std::string& path) {
  std::string text = format_text("\"%s\": ", key) + json_string(path);
  text += format_text(", \"%s_hex\": ", key);
  if (is_utf8(path)) {
    return text + "null";
  }
  text += '"';
  for (const char ch : path) {
    text += format_text("%02x", static_cast<unsigned>(static_cast<unsigned char>(ch)));
  }
  return text + '"';
}

namespace {

std::string difference_text(const Difference& d) {
  switch (d.kind) {
    case DifferenceKind::field:
      return format_text("%s: image 0x%08llx, inputs give 0x%08llx", d.what.c_str(),
                         as_ull(d.image), as_ull(d.inputs));
    case DifferenceKind::length:
      return format_text(
          "length: image 0x%08llx, inputs give 0x%08llx (bytes that only one side "
          "holds are not compared)",
          as_ull(d.image), as_ull(d.inputs));
    case DifferenceKind::bytes:
      break;
  }
  return format_text(
      "%s: %lld %s differ, the first at 0x%08llx in the region (0x%08llx in the "
      "image)",
      d.what.c_str(), static_cast<long long>(d.count), d.count == 1 ? "byte" : "bytes",
      as_ull(d.first), as_ull(d.first_in_image));
}

std::string difference_json(const Difference& d) {
  std::string text = "{\"what\": " + json_string(d.what);
  switch (d.kind) {
    case DifferenceKind::field:
    case DifferenceKind::length:
      text += format_text(", \"kind\": \"%s\", \"image\": %lld, \"inputs\": %lld}",
                          d.kind == DifferenceKind::field ? "field" : "length",
                          static_cast<long long>(d.image), static_cast<long long>(d.inputs));
      return text;
    case DifferenceKind::bytes:
      break;
  }
  text += format_text(
      ", \"kind\": \"bytes\", \"count\": %lld, \"first_offset\": %lld, "
      "\"first_image_offset\": %lld}",
      static_cast<long long>(d.count), static_cast<long long>(d.first),
      static_cast<long long>(d.first_in_image));
  return text;
}

}  // namespace

int against_exit_status(const AgainstReport& r) {
  return r.differences.empty() ? inspect_exit_pass : inspect_exit_fail;
}

std::string against_text(const std::string& path, const RunArgs& args, const AgainstReport& r) {
  std::string text = "image:      " + path + "\n";
  text += "bootloader: " + std::string(args.src1) +
          format_text(" (0x%llx bytes)\n", as_ull(r.input_lengths[0]));
  text += "APP1:       " + std::string(args.src2) +
          format_text(" (0x%llx bytes), load address 0x%08x, status %d\n",
                      as_ull(r.input_lengths[1]), args.load_addr1, static_cast<int>(args.status1));
  text += "APP2:       " + std::string(args.src3) +
          format_text(" (0x%llx bytes), load address 0x%08x, status %d\n",
                      as_ull(r.input_lengths[2]), args.load_addr2, static_cast<int>(args.status2));
  text += format_text("length:     image 0x%08llx, inputs give 0x%08llx\n", as_ull(r.length),
                      as_ull(r.expected_length));
  if (r.differences.empty()) {
    return text + "result: IDENTICAL: the image is exactly what velmora writes from these inputs\n";
  }
  text += "\ndifferences:\n";
  for (const Difference& d : r.differences) {
    text += "  " + difference_text(d) + "\n";
  }
  text += format_text("result: DIFFERENT: %llu %s\n",
                      as_ull(static_cast<std::int64_t>(r.differences.size())),
                      r.differences.size() == 1 ? "difference" : "differences");
  return text;
}

std::string against_json(const std::string& path, const RunArgs& args, const AgainstReport& r) {
  std::string text = "{\n";
  text += "  " + json_path("file", path) + ",\n";
  text += "  \"inputs\": {\n";
  text += "    \"bootloader\": {" + json_path("file", args.src1) +
          format_text(", \"length\": %lld},\n", static_cast<long long>(r.input_lengths[0]));
  text += "    \"app1\": {" + json_path("file", args.src2) +
          format_text(", \"length\": %lld, \"load_addr\": %u, \"status\": %d},\n",
                      static_cast<long long>(r.input_lengths[1]), args.load_addr1,
                      static_cast<int>(args.status1));
  text += "    \"app2\": {" + json_path("file", args.src3) +
          format_text(", \"length\": %lld, \"load_addr\": %u, \"status\": %d}\n",
                      static_cast<long long>(r.input_lengths[2]), args.load_addr2,
                      static_cast<int>(args.status2));
  text += "  },\n";
  text += format_text("  \"length\": %lld,\n  \"expected_length\": %lld,\n",
                      static_cast<long long>(r.length), static_cast<long long>(r.expected_length));
  text += "  \"differences\": [";
  for (std::size_t i = 0; i < r.differences.size(); ++i) {
    text += (i == 0 ? "\n    " : ",\n    ") + difference_json(r.differences[i]);
  }
  text += r.differences.empty() ? "],\n" : "\n  ],\n";
  text +=
      format_text("  \"result\": \"%s\"\n}\n", r.differences.empty() ? "identical" : "different");
  return text;
}
