#include "inspect/inspect.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "image/crc32.h"
#include "image/layout.h"
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

CheckResult no_header(const char* name) {
  return result(name, Verdict::skip, "the header is not in the file");
}

// Where an application's bytes end in the image. Both fields are 32-bit, so the sum cannot
// overflow 64 bits, however the fields were forged.
std::int64_t app_end(const ImageDescriptor& d) {
  return std::int64_t{d.offset} + std::int64_t{d.size};
}

AppFacts read_app(const ImageDescriptor& d, const std::uint8_t* bytes, std::int64_t length) {
  AppFacts app;
  app.stored = d;
  app.high_window = in_high_window(d.load_addr);
  app.pages = pages(d.size);
  app.in_file = app_end(d) <= length;
  if (app.in_file) {
    app.computed_crc = application_crc(bytes + d.offset, d.size, app.high_window);
  }
  return app;
}

using HeaderMask = std::array<bool, header_size>;

void mark_word(HeaderMask& mask, std::size_t offset) {
  for (std::size_t i = offset; i < offset + 4; ++i) {
    mask[i] = true;
  }
}

// Marks the header bytes that belong to a field; every other byte is reserved.
HeaderMask header_field_bytes() {
  HeaderMask field{};
  for (const std::size_t base : {app1_descriptor, app2_descriptor}) {
    for (const std::size_t f :
         {desc_status, desc_flags, desc_crc, desc_offset, desc_size, desc_load_addr}) {
      mark_word(field, base + f);
    }
  }
  mark_word(field, header_crc_field);
  return field;
}

}  // namespace

std::uint32_t application_crc(const std::uint8_t* region, std::size_t size, bool reversed) {
  if (!reversed) {
    return crc32_feed(0, region, size);
  }
  // A chunk that holds whole words keeps the word boundaries of the application.
  std::array<std::uint8_t, 4096> chunk{};
  static_assert(chunk.size() % 4 == 0);
  std::uint32_t state = 0;
  for (std::size_t done = 0; done < size;) {
    const std::size_t n = std::min(chunk.size(), size - done);
    std::memcpy(chunk.data(), region + done, n);
    reverse_word_bytes(chunk.data(), n);
    state = crc32_feed(state, chunk.data(), n);
    done += n;
  }
  return state;
}

bool flag_allowed(const ImageDescriptor& d) {
  // Status 1 stands for any non-zero raw status; 2 is the smallest raw status that the flag
  // rule rewards, so the rule itself says whether this load address could carry the flag.
  return d.status == 1 && describe_application(d.load_addr, 2).flags == flag_high_window_status;
}

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
  if (!r.header_present) {
    return no_header(name);
  }
  if (r.header.header_crc == r.computed_header_crc) {
    return result(name, Verdict::pass, "the header CRC matches");
  }
  return result(name, Verdict::fail,
                format_text("the header CRC is 0x%08x but the header's bytes give 0x%08x",
                            r.header.header_crc, r.computed_header_crc));
}

CheckResult check_header_reserved(const InspectReport& r, const std::uint8_t* bytes) {
  const char* name = "header_reserved";
  if (!r.header_present) {
    return no_header(name);
  }
  static const HeaderMask field = header_field_bytes();
  const std::uint8_t* const header = bytes + header_offset;
  std::size_t count = 0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < header_size; ++i) {
    if (!field[i] && header[i] != 0) {
      first = count == 0 ? i : first;
      ++count;
    }
  }
  if (count == 0) {
    return result(name, Verdict::pass, "the reserved header bytes are zero");
  }
  return result(
      name, Verdict::fail,
      // %llu rather than %zu: the Windows C runtime does not know the z length.
      format_text("%llu reserved header bytes are not zero, the first at header offset 0x%02llx",
                  static_cast<unsigned long long>(count), static_cast<unsigned long long>(first)));
}

CheckResult check_status(const char* name, const InspectReport& r, const AppFacts& app) {
  if (!r.header_present) {
    return no_header(name);
  }
  if (app.stored.status <= 1) {
    return result(name, Verdict::pass, "the status is 0 or 1");
  }
  return result(
      name, Verdict::fail,
      format_text("the status is 0x%08x, neither 0 (invalid) nor 1 (active)", app.stored.status));
}

CheckResult check_flags(const char* name, const InspectReport& r, const AppFacts& app) {
  if (!r.header_present) {
    return no_header(name);
  }
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
  if (!r.header_present) {
    return no_header(name);
  }
  if (r.app1.stored.offset == app1_offset) {
    return result(name, Verdict::pass, "APP1 starts right after the header page");
  }
  return result(name, Verdict::fail,
                format_text("APP1's offset is 0x%08x, not 0x%08llx", r.app1.stored.offset,
                            as_ull(app1_offset)));
}

CheckResult check_app2_offset(const InspectReport& r) {
  const char* name = "app2_offset";
  if (!r.header_present) {
    return no_header(name);
  }
  const ImageLayout expected = plan_layout(r.app1.stored.size, r.app2.stored.size);
  if (r.app2.stored.offset == expected.app2_offset) {
    return result(name, Verdict::pass, "APP2 starts right after APP1's last page");
  }
  return result(name, Verdict::fail,
                format_text("APP2's offset is 0x%08x, but APP1's last page ends at 0x%08llx",
                            r.app2.stored.offset, as_ull(expected.app2_offset)));
}

CheckResult check_in_file(const char* name, const InspectReport& r, const AppFacts& app) {
  if (!r.header_present) {
    return no_header(name);
  }
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

CheckResult check_crc(const char* name, const InspectReport& r, const AppFacts& app) {
  if (!r.header_present) {
    return no_header(name);
  }
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

CheckResult check_padding(const char* name, const InspectReport& r, const AppFacts& app,
                          const std::uint8_t* bytes) {
  if (!r.header_present) {
    return no_header(name);
  }
  if (!app.in_file) {
    return result(name, Verdict::skip, "the application is not within the file");
  }
  // Only the part of the last page that the file holds; a page cut short is file_length's.
  const std::int64_t from = app_end(app.stored);
  const std::int64_t to =
      std::min(std::int64_t{app.stored.offset} + app.pages * page_size, r.length);
  std::int64_t count = 0;
  std::int64_t first = 0;
  for (std::int64_t i = from; i < to; ++i) {
    if (bytes[i] != 0xFF) {
      first = count == 0 ? i : first;
      ++count;
    }
  }
  if (count == 0) {
    return result(name, Verdict::pass, "the rest of the application's last page is 0xFF");
  }
  return result(name, Verdict::warn,
                format_text("%lld bytes after the application in its last page are not 0xFF, the "
                            "first at 0x%08llx (a long bootloader may have run on there)",
                            static_cast<long long>(count), as_ull(first)));
}

CheckResult check_file_length(const InspectReport& r) {
  const char* name = "file_length";
  if (!r.header_present) {
    return no_header(name);
  }
  const std::int64_t expected = plan_layout(r.app1.stored.size, r.app2.stored.size).length;
  if (r.length == expected) {
    return result(name, Verdict::pass, "the file length agrees with the application sizes");
  }
  return result(name, Verdict::fail,
                format_text("the file is 0x%llx bytes long, but the application sizes make 0x%llx",
                            as_ull(r.length), as_ull(expected)));
}

InspectReport inspect_image(const std::uint8_t* bytes, std::int64_t length) {
  InspectReport r;
  r.length = length;
  r.header_present = length >= header_offset + static_cast<std::int64_t>(header_size);
  if (r.header_present) {
    HeaderBytes header{};
    std::memcpy(header.data(), bytes + header_offset, header.size());
    r.header = decode_boot_header(header);
    r.computed_header_crc = compute_header_crc(header);
    r.app1 = read_app(r.header.app1, bytes, length);
    r.app2 = read_app(r.header.app2, bytes, length);
  }

  r.checks.push_back(check_min_length(r));
  r.checks.push_back(check_header_crc(r));
  r.checks.push_back(check_header_reserved(r, bytes));
  r.checks.push_back(check_status("app1_status", r, r.app1));
  r.checks.push_back(check_flags("app1_flags", r, r.app1));
  r.checks.push_back(check_app1_offset(r));
  r.checks.push_back(check_in_file("app1_in_file", r, r.app1));
  r.checks.push_back(check_crc("app1_crc", r, r.app1));
  r.checks.push_back(check_padding("app1_padding", r, r.app1, bytes));
  r.checks.push_back(check_status("app2_status", r, r.app2));
  r.checks.push_back(check_flags("app2_flags", r, r.app2));
  r.checks.push_back(check_app2_offset(r));
  r.checks.push_back(check_in_file("app2_in_file", r, r.app2));
  r.checks.push_back(check_crc("app2_crc", r, r.app2));
  r.checks.push_back(check_padding("app2_padding", r, r.app2, bytes));
  r.checks.push_back(check_file_length(r));
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
