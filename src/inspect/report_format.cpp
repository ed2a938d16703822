#include "inspect/report_format.h"

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

std::string report_json(const std::string& path, const InspectReport& r) {
  std::string text = "{\n";
  text += "  \"file\": " + json_string(path) + ",\n";
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
  text += format_text("  \"result\": \"%s\"\n",
                      report_exit_status(r) == inspect_exit_pass ? "pass" : "fail");
  text += "}\n";
  return text;
}

std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      quoted += '\\';
      quoted += ch;
    } else if (byte < 0x20) {
      quoted += format_text("\\u%04x", static_cast<unsigned>(byte));
    } else {
      quoted += ch;
    }
  }
  quoted += '"';
  return quoted;
}
