// Any bytes make a verdict: inspecting an untrusted image never crashes, never reads outside
// the image and never allocates more than a stretch. The same bytes, cut into three inputs,
// their numbers and an image, are compared as --against compares them: never a read outside
// any of the four, and every difference named consistently. The bytes are also read as a flash
// read-back, and cut in two to be compared as --diff compares two images.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/run.h"
#include "image/layout.h"
#include "inspect/inspect.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void check(bool holds) {
  if (!holds) {
    std::abort();
  }
}

// A report in every form it is printed in.
void draw(const Doc& doc) {
  (void)render_text(doc, false);
  (void)render_text(doc, true);
  (void)render_json(doc);
}

void fuzz_report(const Bytes& image) {
  InspectReport report;
  std::string error;
  check(inspect_source(memory_source(image.data(), static_cast<std::int64_t>(image.size())), false,
                       report, error));
  const int status = report_exit_status(report);
  check(status == inspect_exit_pass || status == inspect_exit_fail);
  check(!report.checks.empty());
  draw(report_doc("fuzz.bin", report, true));
}

// Takes the next `count` bytes (fewer at the end) as one exact-size input.
Bytes take(const std::uint8_t*& data, std::size_t& size, std::size_t count) {
  count = std::min(count, size);
  Bytes part(data, data + count);
  data += count;
  size -= count;
  return part;
}

std::string hex_word(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

void fuzz_against(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t head = 13;
  if (size < head) {
    return;
  }
  std::vector<std::string> words = {"velmora",
                                    "boot.bin",
                                    "app1.bin",
                                    hex_word(get_le32(data, 0)),
                                    hex_word(data[8]),
                                    "app2.bin",
                                    hex_word(get_le32(data, 4)),
                                    hex_word(data[9]),
                                    "image.bin"};
  // Lengths in units that let the bootloader reach past its region and the applications
  // span a page edge within the fuzzer's input size.
  const std::size_t boot_length = std::size_t{data[10]} * 48;
  const std::size_t app1_length = std::size_t{data[11]} * 24;
  const std::size_t app2_length = std::size_t{data[12]} * 24;
  data += head;
  size -= head;
  const Bytes boot = take(data, size, boot_length);
  const Bytes app1 = take(data, size, app1_length);
  const Bytes app2 = take(data, size, app2_length);
  const Bytes image = take(data, size, size);

  std::vector<char*> argv;
  for (std::string& w : words) {
    argv.push_back(w.data());
  }
  const auto source = [](const Bytes& b) {
    return memory_source(b.data(), static_cast<std::int64_t>(b.size()));
  };
  AgainstReport r;
  std::string error;
  const bool compared = compare_against(parse_run_args(argv.data()), source(boot), source(app1),
                                        source(app2), source(image), r, error);
  const std::int64_t expected_length =
      plan_layout(static_cast<std::int64_t>(app1.size()), static_cast<std::int64_t>(app2.size()))
          .length;
  // The only refusal small inputs can meet is a bootloader longer than the image.
  check(compared == (static_cast<std::int64_t>(boot.size()) <= expected_length));
  if (!compared) {
    return;
  }
  check(r.expected_length == expected_length);
  bool length_named = false;
  for (const RegionDiff& d : r.differences) {
    check(!d.same);
    if (d.kind == RegionKind::bytes) {
      const std::int64_t first_in_image = d.offset_a + d.first;
      check(d.count >= 1 && first_in_image < static_cast<std::int64_t>(image.size()));
      check(first_in_image < expected_length && d.first >= 0 && d.first <= first_in_image);
    }
    length_named = length_named || d.kind == RegionKind::length;
  }
  check(length_named == (static_cast<std::int64_t>(image.size()) != expected_length));
  draw(against_doc("image.bin", parse_run_args(argv.data()), r));
}

void fuzz_readback(const Bytes& dump) {
  InspectReport report;
  std::string error;
  check(inspect_source(memory_source(dump.data(), static_cast<std::int64_t>(dump.size())), true,
                       report, error));
  check(report.readback.requested && report.length <= static_cast<std::int64_t>(dump.size()));
  check(std::string(report.checks.back().name) == "readback_tail");
  draw(report_doc("dump.bin", report, false));
}

void fuzz_diff(const std::uint8_t* data, std::size_t size) {
  const std::size_t half = size / 2;
  const Bytes a(data, data + half);
  const Bytes b(data + half, data + size);
  DiffReport r;
  std::string error;
  check(diff_images(memory_source(a.data(), static_cast<std::int64_t>(a.size())),
                    memory_source(b.data(), static_cast<std::int64_t>(b.size())), r, error));
  check(r.regions.size() == 22);
  for (const RegionDiff& d : r.regions) {
    if (d.kind == RegionKind::bytes) {
      const std::int64_t most = std::max(d.held_a, d.held_b);
      check(d.count >= 0 && d.count <= most && d.same == (d.count == 0));
      check(d.same || (d.first >= 0 && d.first < most));
      check(d.offset_a + d.held_a <= static_cast<std::int64_t>(a.size()));
      check(d.offset_b + d.held_b <= static_cast<std::int64_t>(b.size()));
    }
  }
  draw(diff_doc("a.bin", "b.bin", r));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that a read one byte past the end is caught.
  fuzz_report(Bytes(data, data + size));
  fuzz_against(data, size);
  fuzz_readback(Bytes(data, data + size));
  fuzz_diff(data, size);
  return 0;
}
