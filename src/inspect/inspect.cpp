#include "inspect/inspect.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "image/crc32.h"
#include "image/layout.h"
#include "image/regions.h"
#include "image/word_reverse.h"
#include "inspect/format_text.h"

namespace {

unsigned long long as_ull(std::int64_t n) {
  return static_cast<unsigned long long>(n);
}

CheckResult result(const char* name, Verdict verdict, std::string detail) {
  CheckResult r;
  r.name = name;
  r.verdict = verdict;
  r.detail = std::move(detail);
  return r;
}

// Where an application's bytes end in the image. Both fields are 32-bit, so the sum cannot
// overflow 64 bits, however the fields were forged.
std::int64_t app_end(const ImageDescriptor& d) {
  return std::int64_t{d.offset} + std::int64_t{d.size};
}

// Where an application's last page ends, cut to the file: the padding that can be looked at.
std::int64_t padding_end(const AppFacts& app, std::int64_t length) {
  return std::min(std::int64_t{app.stored.offset} + app.pages * page_size, length);
}

bool read_app(const ImageDescriptor& d, const ByteSource& image, std::vector<std::uint8_t>& buffer,
              AppFacts& app, std::string& error) {
  app.stored = d;
  app.high_window = in_high_window(d.load_addr);
  app.pages = pages(d.size);
  app.in_file = app_end(d) <= image.length;
  if (!app.in_file) {
    return true;
  }
  return application_crc(image, d.offset, d.size, app.high_window, buffer, app.computed_crc,
                         error) &&
         find_not_fill(image, app_end(d), padding_end(app, image.length), buffer, app.padding,
                       error);
}

}  // namespace

bool all_fill(const std::uint8_t* bytes, std::int64_t n) {
  static const std::vector<std::uint8_t> fill(static_cast<std::size_t>(stretch_bytes), 0xFF);
  for (std::int64_t at = 0; at < n; at += stretch_bytes) {
    const std::int64_t k = std::min(n - at, stretch_bytes);
    if (std::memcmp(bytes + at, fill.data(), static_cast<std::size_t>(k)) != 0) {
      return false;
    }
  }
  return true;
}

bool application_crc(const ByteSource& image, std::int64_t offset, std::int64_t size, bool reversed,
                     std::vector<std::uint8_t>& buffer, std::uint32_t& crc, std::string& error) {
  // Each stretch starts on a word of the application, so reversing it turns whole words back.
  std::uint32_t state = 0;
  for (std::int64_t done = 0; done < size;) {
    const std::int64_t n =
        std::min({size - done, stretch_bytes, static_cast<std::int64_t>(buffer.size())});
    if (!read_source(image, offset + done, buffer.data(), n, error)) {
      return false;
    }
    if (reversed) {
      reverse_word_bytes(buffer.data(), static_cast<std::size_t>(n));
    }
    state = crc32_feed(state, buffer.data(), static_cast<std::size_t>(n));
    done += n;
  }
  crc = state;
  return true;
}

bool find_not_fill(const ByteSource& image, std::int64_t from, std::int64_t to,
                   std::vector<std::uint8_t>& buffer, NotFill& found, std::string& error) {
  found = NotFill{};
  for (std::int64_t at = from; at < to;) {
    const std::int64_t n =
        std::min({to - at, stretch_bytes, static_cast<std::int64_t>(buffer.size())});
    if (!read_source(image, at, buffer.data(), n, error)) {
      return false;
    }
    // Byte by byte only where the stretch is not all 0xFF: the common case is fill.
    if (all_fill(buffer.data(), n)) {
      at += n;
      continue;
    }
    for (std::int64_t i = 0; i < n; ++i) {
      if (buffer[static_cast<std::size_t>(i)] != 0xFF) {
        found.first = found.count == 0 ? at + i : found.first;
        ++found.count;
      }
    }
    at += n;
  }
  return true;
}

bool flag_allowed(const ImageDescriptor& d) {
  // Status 1 stands for any non-zero raw status; 2 is the smallest raw status that the flag
  // rule rewards, so the rule itself says whether this load address could carry the flag.
  return d.status == 1 && describe_application(d.load_addr, 2).flags == flag_high_window_status;
}

namespace {

CheckResult check_min_length(const InspectReport& r) {
  const char* name = "min_length";
  if (r.length >= app1_offset) {
    return result(name, Verdict::pass, "the file holds the bootloader region and the header page");
  }
  if (r.length == 0) {
    return result(name, Verdict::fail, "the file is empty");
  }
  return result(
      name, Verdict::fail,
      format_text("the file is only 0x%llx bytes long; the bootloader region and the header "
                  "page take 0x%llx",
                  as_ull(r.length), as_ull(app1_offset)));
}

CheckResult check_header_crc(const InspectReport& r) {
  const char* name = "header_crc";
  if (r.header.header_crc == r.computed_header_crc) {
    return result(name, Verdict::pass, "the header CRC matches");
  }
  return result(name, Verdict::fail,
                format_text("the header CRC is 0x%08x but the header's bytes give 0x%08x",
                            r.header.header_crc, r.computed_header_crc));
}

CheckResult check_header_reserved(const InspectReport& r) {
  const char* name = "header_reserved";
  const Mismatch m = reserved_mismatch(r.header_bytes, HeaderBytes{});
  if (m.count == 0) {
    return result(name, Verdict::pass, "the reserved header bytes are zero");
  }
  return result(
      name, Verdict::fail,
      // %llu rather than %zu: the Windows C runtime does not know the z length.
      format_text("%llu reserved header bytes are not zero, the first at header offset 0x%02llx",
                  as_ull(m.count), as_ull(m.first)));
}

CheckResult check_status(const char* name, const AppFacts& app) {
  if (app.stored.status <= 1) {
    return result(name, Verdict::pass, "the status is 0 or 1");
  }
  return result(
      name, Verdict::fail,
      format_text("the status is 0x%08x, neither 0 (invalid) nor 1 (active)", app.stored.status));
}

CheckResult check_flags(const char* name, const AppFacts& app) {
  const std::uint32_t flags = app.stored.flags;
  if ((flags & ~flag_high_window_status) != 0) {
    return result(name, Verdict::fail,
                  format_text("the flags 0x%08x hold bits other than 0x%08x", flags,
                              flag_high_window_status));
  }
  if (flags == 0) {
    return result(name, Verdict::pass, "no flag bit is set");
  }
  if (!flag_allowed(app.stored)) {
    return result(name, Verdict::fail,
                  "the flag bit is set, but only an active application in the high window "
                  "can carry it");
  }
  return result(name, Verdict::pass,
                "the flag bit is set, as allowed for an active application in the high window");
}

CheckResult check_app1_offset(const InspectReport& r) {
  const char* name = "app1_offset";
  if (r.app1.stored.offset == app1_offset) {
    return result(name, Verdict::pass, "APP1 starts right after the header page");
  }
  return result(name, Verdict::fail,
                format_text("APP1's offset is 0x%08x, not 0x%08llx", r.app1.stored.offset,
                            as_ull(app1_offset)));
}

CheckResult check_app2_offset(const InspectReport& r) {
  const char* name = "app2_offset";
  const ImageLayout expected = plan_layout(r.app1.stored.size, r.app2.stored.size);
  if (r.app2.stored.offset == expected.app2_offset) {
    return result(name, Verdict::pass, "APP2 starts right after APP1's last page");
  }
  return result(name, Verdict::fail,
                format_text("APP2's offset is 0x%08x, but APP1's last page ends at 0x%08llx",
                            r.app2.stored.offset, as_ull(expected.app2_offset)));
}

CheckResult check_in_file(const char* name, const InspectReport& r, const AppFacts& app) {
  if (app.in_file) {
    return result(name, Verdict::pass, "the application lies within the file");
  }
  return result(
      name, Verdict::fail,
      format_text("offset 0x%08x plus size 0x%08x ends at 0x%llx, past the end of the file "
                  "at 0x%llx",
                  app.stored.offset, app.stored.size, as_ull(app_end(app.stored)),
                  as_ull(r.length)));
}

CheckResult check_crc(const char* name, const AppFacts& app) {
  if (!app.in_file) {
    return result(name, Verdict::skip, "the application is not within the file");
  }
  if (app.stored.crc == app.computed_crc) {
    return result(name, Verdict::pass, "the application's CRC matches");
  }
  return result(name, Verdict::fail,
                format_text("the stored CRC is 0x%08x but the application's bytes give 0x%08x",
                            app.stored.crc, app.computed_crc));
}

CheckResult check_padding(const char* name, const AppFacts& app) {
  if (!app.in_file) {
    return result(name, Verdict::skip, "the application is not within the file");
  }
  // Only the part of the last page that the file holds; a page cut short is file_length's.
  if (app.padding.count == 0) {
    return result(name, Verdict::pass, "the rest of the application's last page is 0xFF");
  }
  return result(name, Verdict::warn,
                format_text("%lld bytes after the application in its last page are not 0xFF, the "
                            "first at 0x%08llx (a long bootloader may have run on there)",
                            static_cast<long long>(app.padding.count), as_ull(app.padding.first)));
}

CheckResult check_file_length(const InspectReport& r) {
  const char* name = "file_length";
  const std::int64_t expected = plan_layout(r.app1.stored.size, r.app2.stored.size).length;
  if (r.length == expected) {
    return result(name, Verdict::pass, "the file length agrees with the application sizes");
  }
  return result(name, Verdict::fail,
                format_text("the file is 0x%llx bytes long, but the application sizes make 0x%llx",
                            as_ull(r.length), as_ull(expected)));
}

CheckResult check_bootloader_size(const InspectReport& r) {
  const char* name = "bootloader_size";
  if (r.page_rest.count == 0) {
    return result(name, Verdict::pass, "the header page after the header is 0xFF");
  }
  return result(name, Verdict::warn,
                format_text("%lld bytes of the header page after the header are not 0xFF, the "
                            "first at 0x%08llx: the bootloader is longer than its 0x%llx-byte "
                            "region (were the bootloader and APP1 swapped?)",
                            static_cast<long long>(r.page_rest.count), as_ull(r.page_rest.first),
                            as_ull(bootloader_region_size)));
}

// velmora asks for sector-aligned load addresses; one that is not is most often a status
// typed in the address's place, or a typo that the lenient value rule read anyway.
CheckResult check_load_addr(const char* name, const AppFacts& app) {
  const std::uint32_t addr = app.stored.load_addr;
  if (addr % page_size == 0) {
    return result(name, Verdict::pass, "the load address is a multiple of 0x1000");
  }
  return result(name, Verdict::warn,
                format_text("the load address 0x%08x is not a multiple of 0x%llx (sector-aligned): "
                            "a typo, or the status and the load address swapped?",
                            addr, as_ull(page_size)));
}

CheckResult check_size(const char* name, const AppFacts& app) {
  if (app.stored.size != 0) {
    return result(name, Verdict::pass, "the application is not empty");
  }
  return result(name, Verdict::warn, "the application is empty (size 0)");
}

CheckResult check_active_app(const InspectReport& r) {
  const char* name = "active_app";
  if (r.app1.stored.status == 1 || r.app2.stored.status == 1) {
    return result(name, Verdict::pass, "at least one application is active");
  }
  return result(name, Verdict::warn, "no application is active: there is nothing to start");
}

// Where an application's load range ends: both fields are 32-bit, so 64 bits hold the sum.
std::int64_t load_end(const ImageDescriptor& d) {
  return std::int64_t{d.load_addr} + std::int64_t{d.size};
}

}  // namespace

// Two applications loaded into the same memory overwrite each other on the device; velmora
// cannot see it, since it never looks at what the addresses mean.
CheckResult check_load_overlap(const ImageDescriptor& a, const ImageDescriptor& b) {
  const char* name = "load_overlap";
  const std::int64_t from = std::max<std::int64_t>(a.load_addr, b.load_addr);
  const std::int64_t to = std::min(load_end(a), load_end(b));
  if (a.size == 0 || b.size == 0 || from >= to) {
    return result(name, Verdict::pass, "the load ranges of APP1 and APP2 do not overlap");
  }
  return result(name, Verdict::warn,
                format_text("APP1's load range 0x%08x-0x%08llx and APP2's 0x%08x-0x%08llx "
                            "overlap at 0x%08llx-0x%08llx: one overwrites the other when loaded",
                            a.load_addr, as_ull(load_end(a) - 1), b.load_addr,
                            as_ull(load_end(b) - 1), as_ull(from), as_ull(to - 1)));
}

// The window is chosen by the load address alone: an application that starts below 0x11000000
// and runs past it is stored as is, its part in the high window too.
CheckResult check_window_cross(const char* name, const ImageDescriptor& d) {
  if (d.load_addr >= high_window_start || load_end(d) <= std::int64_t{high_window_start}) {
    return result(name, Verdict::pass, "the load range does not cross 0x11000000");
  }
  return result(name, Verdict::warn,
                format_text("the load range 0x%08x-0x%08llx crosses 0x%08x: its 0x%llx bytes "
                            "from there on are in the high window but stored as is, not "
                            "word-reversed",
                            d.load_addr, as_ull(load_end(d) - 1), high_window_start,
                            as_ull(load_end(d) - std::int64_t{high_window_start})));
}

namespace {

// Every check but min_length needs the header; the order of the list is the report's.
void run_header_checks(InspectReport& r) {
  r.checks.push_back(check_header_crc(r));
  r.checks.push_back(check_header_reserved(r));
  r.checks.push_back(check_status("app1_status", r.app1));
  r.checks.push_back(check_flags("app1_flags", r.app1));
  r.checks.push_back(check_app1_offset(r));
  r.checks.push_back(check_in_file("app1_in_file", r, r.app1));
  r.checks.push_back(check_crc("app1_crc", r.app1));
  r.checks.push_back(check_padding("app1_padding", r.app1));
  r.checks.push_back(check_status("app2_status", r.app2));
  r.checks.push_back(check_flags("app2_flags", r.app2));
  r.checks.push_back(check_app2_offset(r));
  r.checks.push_back(check_in_file("app2_in_file", r, r.app2));
  r.checks.push_back(check_crc("app2_crc", r.app2));
  r.checks.push_back(check_padding("app2_padding", r.app2));
  r.checks.push_back(check_file_length(r));
  // Warnings only, after the checks above so that their places in the list stay as they were.
  r.checks.push_back(check_bootloader_size(r));
  r.checks.push_back(check_load_addr("app1_load_addr", r.app1));
  r.checks.push_back(check_load_addr("app2_load_addr", r.app2));
  r.checks.push_back(check_size("app1_size", r.app1));
  r.checks.push_back(check_size("app2_size", r.app2));
  r.checks.push_back(check_active_app(r));
  r.checks.push_back(check_load_overlap(r.app1.stored, r.app2.stored));
  r.checks.push_back(check_window_cross("app1_load_window", r.app1.stored));
  r.checks.push_back(check_window_cross("app2_load_window", r.app2.stored));
}

void run_checks(InspectReport& r) {
  r.checks.push_back(check_min_length(r));
  if (r.header_present) {
    run_header_checks(r);
    return;
  }
  // Without the header every other check is skipped: the list above, run on an empty report
  // for its names only, gives the same names in the same places.
  InspectReport sample;
  sample.header_present = true;
  run_header_checks(sample);
  for (const CheckResult& c : sample.checks) {
    r.checks.push_back(result(c.name, Verdict::skip, "the header is not in the file"));
  }
}

}  // namespace

bool inspect_source(const ByteSource& image, InspectReport& report, std::string& error) {
  InspectReport r;
  r.length = image.length;
  r.header_present = image.length >= header_end;
  if (r.header_present) {
    if (!read_source(image, header_offset, r.header_bytes.data(),
                     static_cast<std::int64_t>(header_size), error)) {
      return false;
    }
    r.header = decode_boot_header(r.header_bytes);
    r.computed_header_crc = compute_header_crc(r.header_bytes);
    std::vector<std::uint8_t> buffer = stretch_buffer(image.length);
    if (!find_not_fill(image, header_end, std::min(app1_offset, image.length), buffer, r.page_rest,
                       error) ||
        !read_app(r.header.app1, image, buffer, r.app1, error) ||
        !read_app(r.header.app2, image, buffer, r.app2, error)) {
      return false;
    }
  }
  run_checks(r);
  report = std::move(r);
  return true;
}

InspectReport inspect_image(const std::uint8_t* bytes, std::int64_t length) {
  InspectReport r;
  std::string error;
  inspect_source(memory_source(bytes, length), r, error);  // memory is always read whole
  return r;
}

const CheckResult* find_check(const InspectReport& r, const std::string& name) {
  for (const CheckResult& c : r.checks) {
    if (name == c.name) {
      return &c;
    }
  }
  return nullptr;
}

int report_exit_status(const InspectReport& r) {
  for (const CheckResult& c : r.checks) {
    if (c.verdict == Verdict::fail) {
      return inspect_exit_fail;
    }
  }
  return inspect_exit_pass;
}
