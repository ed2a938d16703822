// Inspection of a download image: the facts read from its bytes and the checks run on them.
// The image is untrusted: every field is bounds-checked against the file before it is used.
// The image is read in stretches, never whole, so memory stays flat at any size.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/exit_status.h"
#include "image/boot_header.h"
#include "image/regions.h"
#include "inspect/byte_source.h"

// A warning does not fail the image; a check is skipped when what it needs is not in the file
// (another check has then failed).
enum class Verdict { pass, warn, fail, skip };

struct CheckResult {
  const char* name = "";  // stable identifier, also used in the JSON report
  Verdict verdict = Verdict::skip;
  std::string detail;  // what was found, in plain English
};

// What the header says about one application and what was computed from the image.
struct AppFacts {
  ImageDescriptor stored;
  bool high_window = false;        // stored with its words reversed
  bool in_file = false;            // offset + size lies within the file
  std::int64_t pages = 0;          // pages(size)
  std::uint32_t computed_crc = 0;  // over the bytes un-reversed; valid when in_file
  Mismatch padding;                // the rest of its last page, as far as the file holds it
  std::string start;               // its first bytes, un-reversed (format_probe_bytes at most)
};

// A flash read-back: the image, then erased flash (0xFF) to the end of the dump.
struct ReadbackFacts {
  bool requested = false;  // --readback was given; the rest is set only then
  std::int64_t file_length = 0;
  bool end_known = false;   // the header is sound and the image it lays out ends in the file
  Mismatch tail;            // bytes after the image's end that are not 0xFF, when end_known
  std::string unknown_end;  // why the end is unknown, when not end_known
};

struct InspectReport {
  std::int64_t length = 0;
  bool header_present = false;  // the file holds the 256 header bytes; the rest needs them
  HeaderBytes header_bytes{};
  BootHeader header;
  std::uint32_t computed_header_crc = 0;
  Mismatch page_rest;      // header page bytes after the header, as far as the file holds them
  std::string boot_start;  // the bootloader region's first bytes (format_probe_bytes at most)
  AppFacts app1;
  AppFacts app2;
  std::vector<CheckResult> checks;  // every check, always the same ones in the same order
  ReadbackFacts readback;           // `length` is then the image's, ahead of the tail
};

// Reads the facts out of the image and runs every check on them. False, with `error` naming
// the path and the reason, only when a file cannot be read; memory never fails.
bool inspect_source(const ByteSource& image, InspectReport& report, std::string& error);
// The facts alone, without the checks.
bool read_facts(const ByteSource& image, InspectReport& report, std::string& error);
// Judges the facts: report.checks, every check in the same order; readback_tail only when
// report.readback.requested.
void run_checks(InspectReport& report);
// The same for `length` bytes in memory.
InspectReport inspect_image(const std::uint8_t* bytes, std::int64_t length);

// What --against knows of the inputs besides the header velmora writes from them.
struct InputFacts {
  std::int64_t bootloader_length = 0;
  std::uint32_t words[2] = {0, 0};  // APP1's and APP2's status words as typed
  std::int8_t status1 = 0;          // what velmora keeps of each status word
  std::int8_t status2 = 0;
};

// The warnings of the checks judged on the inputs of --against, in the report's order:
// bootloader_input, app1_swapped, app2_swapped, then load_overlap, app1_load_window and
// app2_load_window on `velmora`, whose descriptors are those velmora writes from the inputs.
std::vector<CheckResult> input_warnings(const InspectReport& velmora, const InputFacts& inputs);

// The bytes of [from, to) that are not 0xFF, by image offset, reading a stretch at a time into
// `buffer`.
bool find_not_fill(const ByteSource& image, std::int64_t from, std::int64_t to,
                   std::vector<std::uint8_t>& buffer, Mismatch& found, std::string& error);

// The first bytes of [offset, offset + size) (format_probe_bytes at most), words turned back
// where `reversed`: enough to tell a file that is not a raw binary.
bool read_start(const ByteSource& image, std::int64_t offset, std::int64_t size, bool reversed,
                std::string& start, std::string& error);

// Whether the flag rule can have set the flag bit: only for an active application in the
// high window (whose raw status was above 1).
bool flag_allowed(const ImageDescriptor& d);

// Whether `name` is a warning velmora-inspect can give: a check that warns, or what the
// reading of a numeric word of --against lost.
bool known_warning(const std::string& name);

// The check with this name, or nullptr.
const CheckResult* find_check(const InspectReport& r, const std::string& name);
// inspect_exit_pass when no check failed, else inspect_exit_fail.
int report_exit_status(const InspectReport& r);
