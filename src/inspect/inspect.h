// Inspection of a download image: the facts read from its bytes and the checks run on them.
// The image is untrusted: every field is bounds-checked against the file before it is used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/boot_header.h"

// Exit statuses of velmora-inspect.
inline constexpr int inspect_exit_pass = 0;  // every check passed; warnings allowed
inline constexpr int inspect_exit_fail = 1;  // at least one check failed
inline constexpr int inspect_exit_error =
    2;  // usage error, or a file that cannot be read or written

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
};

struct InspectReport {
  std::int64_t length = 0;
  bool header_present = false;  // the file holds the 256 header bytes; the rest needs them
  BootHeader header;
  std::uint32_t computed_header_crc = 0;
  AppFacts app1;
  AppFacts app2;
  std::vector<CheckResult> checks;  // every check, always the same ones in the same order
};

// Reads the facts out of `length` bytes and runs every check on them.
InspectReport inspect_image(const std::uint8_t* bytes, std::int64_t length);

// The checksum of an application's `size` bytes as they were composed: where `reversed`, the
// stored words are turned back first. Needs no copy of the application.
std::uint32_t application_crc(const std::uint8_t* region, std::size_t size, bool reversed);

// Whether the flag rule can have set the flag bit: only for an active application in the
// high window (whose raw status was above 1).
bool flag_allowed(const ImageDescriptor& d);

// The checks, each from the facts (and the bytes where it looks at more than the facts).
CheckResult check_min_length(const InspectReport& r);
CheckResult check_header_crc(const InspectReport& r);
CheckResult check_header_reserved(const InspectReport& r, const std::uint8_t* bytes);
CheckResult check_status(const char* name, const InspectReport& r, const AppFacts& app);
CheckResult check_flags(const char* name, const InspectReport& r, const AppFacts& app);
CheckResult check_app1_offset(const InspectReport& r);
CheckResult check_app2_offset(const InspectReport& r);
CheckResult check_in_file(const char* name, const InspectReport& r, const AppFacts& app);
CheckResult check_crc(const char* name, const InspectReport& r, const AppFacts& app);
CheckResult check_padding(const char* name, const InspectReport& r, const AppFacts& app,
                          const std::uint8_t* bytes);
CheckResult check_file_length(const InspectReport& r);

// The check with this name, or nullptr.
const CheckResult* find_check(const InspectReport& r, const std::string& name);
// inspect_exit_pass when no check failed, else inspect_exit_fail.
int report_exit_status(const InspectReport& r);
