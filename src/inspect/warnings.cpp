#include "inspect/warnings.h"

#include <algorithm>
#include <string>
#include <utility>

#include "image/boot_header.h"
#include "image/layout.h"
#include "inspect/format_text.h"

namespace {

unsigned long long as_ull(std::int64_t n) {
  return static_cast<unsigned long long>(n);
}

CheckResult warning(const char* name, std::string detail) {
  CheckResult c;
  c.name = name;
  c.verdict = Verdict::warn;
  c.detail = std::move(detail);
  return c;
}

// The header always replaces the bootloader's bytes under it; past the header page they lie
// under APP1 and the fills, where only the fills keep them.
void check_bootloader_length(std::int64_t length, std::vector<CheckResult>& out) {
  if (length <= bootloader_region_size) {
    return;
  }
  std::string detail = format_text(
      "the bootloader is 0x%llx bytes, longer than its 0x%llx-byte region: the header "
      "replaces its bytes 0x%llx-0x%llx",
      as_ull(length), as_ull(bootloader_region_size), as_ull(header_offset),
      as_ull(std::min(length, header_end) - 1));
  if (length > header_end) {
    detail += format_text(", and its bytes 0x%llx-0x%llx run on into the header page%s",
                          as_ull(header_end), as_ull(length - 1),
                          length > app1_offset ? " and beyond, where APP1 and APP2 replace what "
                                                 "they cover"
                                               : "");
  }
  out.push_back(warning("bootloader_input", detail));
}

// A status typed in the load address's place: the address is a small number and the status
// word a large one, of which velmora keeps only the low 8 bits.
void check_swapped(const char* name, std::uint32_t load_addr, std::uint32_t status_word,
                   std::int8_t status, std::vector<CheckResult>& out) {
  if (load_addr >= 0x100 || status_word <= 0xFF) {
    return;
  }
  out.push_back(warning(
      name, format_text("the load address 0x%08x is below 0x100 and the status word 0x%08x "
                        "above 0xFF, of which velmora keeps 0x%02x (%s): the load address and "
                        "the status swapped?",
                        load_addr, status_word, static_cast<unsigned>(status) & 0xFFu,
                        status != 0 ? "active" : "invalid")));
}

void add_if_warning(CheckResult c, std::vector<CheckResult>& out) {
  if (c.verdict == Verdict::warn) {
    out.push_back(std::move(c));
  }
}

bool named(const std::vector<CheckResult>& list, const char* name) {
  for (const CheckResult& c : list) {
    if (std::string(c.name) == name) {
      return true;
    }
  }
  return false;
}

}  // namespace

void against_warnings(const RunArgs& args, const StatusWords& words, const InspectReport& image,
                      AgainstReport& report) {
  std::vector<CheckResult> out;
  check_bootloader_length(report.input_lengths[0], out);
  check_swapped("app1_swapped", args.load_addr1, words.app1, args.status1, out);
  check_swapped("app2_swapped", args.load_addr2, words.app2, args.status2, out);
  // The descriptors velmora writes from these inputs, as far as the load ranges need them.
  ImageDescriptor app1 = describe_application(args.load_addr1, args.status1);
  ImageDescriptor app2 = describe_application(args.load_addr2, args.status2);
  const ImageLayout layout = plan_layout(report.input_lengths[1], report.input_lengths[2]);
  app1.size = static_cast<std::uint32_t>(layout.app1_size);
  app2.size = static_cast<std::uint32_t>(layout.app2_size);
  add_if_warning(check_load_overlap(app1, app2), out);
  add_if_warning(check_window_cross("app1_load_window", app1), out);
  add_if_warning(check_window_cross("app2_load_window", app2), out);
  for (const CheckResult& c : image.checks) {
    if (c.verdict == Verdict::warn && !named(out, c.name)) {
      out.push_back(c);
    }
  }
  report.warnings = std::move(out);
}
