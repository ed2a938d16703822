#include "inspect/readback.h"

#include <algorithm>
#include <utility>

#include "image/boot_header.h"
#include "image/layout.h"
#include "inspect/format_text.h"

namespace {

// The image's length from a sound header, or 0 with `why` saying what is wrong with it.
std::int64_t image_end(const ByteSource& dump, std::string& why, std::string& error, bool& ok) {
  ok = true;
  if (dump.length < header_end) {
    why = "the header is not in the file, so the image's end is unknown";
    return 0;
  }
  HeaderBytes bytes{};
  if (!read_source(dump, header_offset, bytes.data(), std::int64_t{header_size}, error)) {
    ok = false;
    return 0;
  }
  const BootHeader header = decode_boot_header(bytes);
  if (compute_header_crc(bytes) != header.header_crc) {
    why =
        "the header is damaged (its CRC does not match), so the image's end is unknown: the "
        "whole file is judged as the image";
    return 0;
  }
  const std::int64_t length = plan_layout(header.app1.size, header.app2.size).length;
  if (length > dump.length) {
    why = format_text(
        "the header's sizes make an image of 0x%llx bytes, longer than the file: "
        "the whole file is judged as the image",
        as_ull(length));
    return 0;
  }
  return length;
}

}  // namespace

bool inspect_readback(const ByteSource& dump, InspectReport& report, std::string& error) {
  ReadbackFacts rb;
  bool ok = true;
  const std::int64_t length = image_end(dump, rb.unknown_end, error, ok);
  if (!ok) {
    return false;
  }
  rb.requested = true;
  rb.file_length = dump.length;
  rb.end_known = length > 0;
  ByteSource image = dump;
  image.length = rb.end_known ? length : dump.length;
  InspectReport r;
  if (!read_facts(image, r, error)) {
    return false;
  }
  if (rb.end_known) {
    std::vector<std::uint8_t> buffer = stretch_buffer(dump.length - length);
    if (!find_not_fill(dump, length, dump.length, buffer, rb.tail, error)) {
      return false;
    }
  }
  r.readback = rb;
  run_checks(r);
  report = std::move(r);
  return true;
}

bool judge_readback_tail(const ByteSource& dump, AgainstReport& report, std::string& error) {
  report.readback = true;
  if (dump.length <= report.expected_length) {
    return true;  // no tail; a short dump keeps its length difference
  }
  std::vector<std::uint8_t> buffer = stretch_buffer(dump.length - report.expected_length);
  Mismatch tail;
  if (!find_not_fill(dump, report.expected_length, dump.length, buffer, tail, error)) {
    return false;
  }
  report.tail_bytes = dump.length - report.expected_length;
  std::vector<RegionDiff>& d = report.differences;
  const auto length = std::find_if(
      d.begin(), d.end(), [](const RegionDiff& x) { return x.kind == RegionKind::length; });
  if (length == d.end()) {
    return true;
  }
  if (tail.count == 0) {
    d.erase(length);
    return true;
  }
  tail.first -= report.expected_length;
  *length = bytes_row("readback_tail", tail, report.expected_length);
  return true;
}
