// Inspection of a download image: the facts read from its bytes and the checks run on them, its
// comparison with the inputs (--against) or with another image (--diff), and its parts taken
// apart (--extract). The image is untrusted: every field is bounds-checked against the file
// before it is used. It is read in stretches, never whole, so memory stays flat at any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/fail.h"
#include "common/run_args.h"
#include "fileio/read_file.h"
#include "image/boot_header.h"
#include "image/regions.h"

// How much a scan reads at a time: 64 KiB was measured fastest, beside 1 MiB and 256 KiB (a
// stretch is still in the processor's cache when it is checksummed). A whole number of words,
// so that a scan that starts at an application's first byte never splits one of its words.
inline constexpr std::int64_t stretch_bytes = std::int64_t{1} << 16;
static_assert(stretch_bytes % 4 == 0);

// A scan of [at, end) of `source`: next_stretch reads the next `n` bytes into `bytes` and moves
// `at` on; a scan read to its end stops short of it only where a read failed.
struct Stretch {
  const ByteSource* source = nullptr;
  std::int64_t at = 0;
  std::int64_t end = 0;
  bool reversed = false;  // stored word-reversed: read in whole words from `at` on, turned back
  std::vector<std::uint8_t> bytes;
  std::int64_t n = 0;
};

// A scan of [from, to) with room for one stretch, or less where the range is shorter.
Stretch stretches(const ByteSource& source, std::int64_t from, std::int64_t to,
                  bool reversed = false);
// Reads the next `most` bytes at most (where reversed, rounded up to a whole word as far as the
// scan goes). False at the end, or with `error` naming the path and the reason.
bool next_stretch(Stretch& st, std::string& error, std::int64_t most = stretch_bytes);

// The header's bytes, where the file holds them; else `bytes` is left as it is.
bool read_header(const ByteSource& source, HeaderBytes& bytes, std::string& error);

// A warning does not fail the image; a check is skipped when what it needs is not in the file
// (another check has then failed).
enum class Verdict { pass, warn, fail, skip };

struct CheckResult {
  const char* name = "";  // stable identifier, also used in the JSON report
  Verdict verdict = Verdict::skip;
  std::string detail;  // what was found, in plain English
};

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
// the path and the reason, only when a file cannot be read; memory never fails. With `readback`
// the source is a flash read-back: the image at its front ends where its header says, and every
// byte after it must be 0xFF, erased flash (readback_tail, after all the others). Where the
// header is missing or damaged, or lays out an image longer than the dump, the whole dump is
// judged as the image and readback_tail warns saying why.
bool inspect_source(const ByteSource& source, bool readback, InspectReport& report,
                    std::string& error);

// What --against knows of the inputs besides the header velmora writes from them.
struct InputFacts {
  std::int64_t bootloader_length = 0;
  std::uint32_t words[2] = {0, 0};  // APP1's and APP2's status words as typed
};

// The warnings of the checks --against judges on its inputs and on `velmora`, the descriptors
// velmora writes from them, in the report's order.
std::vector<CheckResult> input_warnings(const InspectReport& velmora, const InputFacts& inputs);

// Whether the flag rule can have set the flag bit: only for an active application in the
// high window.
bool flag_allowed(const ImageDescriptor& d);

// Whether `name` is a warning velmora-inspect can give: a check's or a word finding's.
bool known_warning(const std::string& name);
int report_exit_status(const InspectReport& r);  // inspect_exit_fail where a check failed

enum class RegionKind {
  field,   // a header field: `a` and `b`, unknown on a side without a header
  bytes,   // bytes of a region: `held_a`, `held_b`, `count`, `first`
  length,  // the file lengths: `a` and `b`
};

// One region, header field or length compared. In --against, A is the image and B what the
// inputs give.
struct RegionDiff {
  RegionKind kind = RegionKind::bytes;
  std::string what;  // stable name: "bootloader", "app1.load_addr", "app2_fill", "length", ...
  bool same = true;
  std::int64_t a = 0;
  std::int64_t b = 0;
  bool a_known = true;  // false for a field of a file without a header
  bool b_known = true;
  std::int64_t held_a = 0;  // bytes of the region in each file, as far as the file holds it
  std::int64_t held_b = 0;
  std::int64_t count = 0;     // bytes that differ, those that only one side holds included
  std::int64_t first = 0;     // the first of them, as an offset in the region
  std::int64_t offset_a = 0;  // where the region starts in each file
  std::int64_t offset_b = 0;
};

// The row of the bytes `m` found differing in a region at `offset` in both files.
RegionDiff bytes_row(const char* what, const Mismatch& m, std::int64_t offset);

struct DiffReport {
  std::int64_t length_a = 0;
  std::int64_t length_b = 0;
  // Always all of them, in this order: bootloader, each header field by name, header_reserved,
  // header_page_fill, app1, app1_fill, app2, app2_fill, outside (the bytes of each file that no
  // other region covers: after the image's end, or in a gap a forged header leaves), length.
  std::vector<RegionDiff> regions;
};

// Compares two images region by region, each laid out by its own header; applications are
// compared un-reversed, so that one moved between the windows shows as its load address alone.
// False, with `error` naming the path and the reason, only when a file cannot be read.
bool diff_images(const ByteSource& a, const ByteSource& b, DiffReport& report, std::string& error);

std::int64_t regions_differing(const DiffReport& r);

struct AgainstReport {
  std::int64_t length = 0;                    // the image's
  std::int64_t expected_length = 0;           // L from the inputs
  std::int64_t input_lengths[3] = {0, 0, 0};  // bootloader, APP1, APP2
  // The rows that differ, A the image and B the inputs, in image order, the length last; empty
  // when identical. A bytes row counts only the bytes both sides hold.
  std::vector<RegionDiff> differences;
  // Set by the run, not by compare_against: the likely mistakes the inputs and the image show
  // (each a warning); with --readback, how many bytes of the dump follow the image's end.
  std::vector<CheckResult> warnings;
  bool readback = false;
  std::int64_t tail_bytes = 0;
};

// Compares the image with what velmora's own composer writes from the three inputs, region by
// region. False, with `error` naming the path and the reason, where a file cannot be read or
// velmora would refuse an input (2 GiB or more, an image that would be, a bootloader longer
// than the image).
bool compare_against(const RunArgs& args, const ByteSource& boot, const ByteSource& app1,
                     const ByteSource& app2, const ByteSource& image, AgainstReport& report,
                     std::string& error);

// With --readback, the image ends where the inputs say: a dump longer than that whose tail is
// all 0xFF loses its `length` difference; one with another byte there has it replaced by the
// bytes difference readback_tail.
bool judge_readback_tail(const ByteSource& dump, AgainstReport& report, std::string& error);

// Fills report.warnings: the checks judged on the `inputs` (the bootloader, APP1, APP2) and the
// header velmora writes from them, what velmora's reading of the numeric words among the seven
// --against `words` lost, then each warning of the plain report on `image` not named already.
// False, with `error`, when an input cannot be read.
bool against_warnings(const RunArgs& args, char* const* words, const ByteSource (&inputs)[3],
                      const InspectReport& image, AgainstReport& report, std::string& error);

// What velmora's lenient reading of one numeric word lost, which makes an image that will not
// boot.
struct WordFinding {
  const char* name;  // the word's label and the kind, e.g. "status1_no_digit"
  std::string detail;
};

// velmora's numeric words, in the order of its command line, and every name a finding on each
// can have.
inline constexpr const char* numeric_words[4] = {"load_addr1", "status1", "load_addr2", "status2"};
extern const char* const word_finding_names[4][4];

// The findings for numeric_words[index] typed as `word`: no hexadecimal digit, bytes skipped
// other than "0x" and "_", more than eight significant digits, a decimal address or a negative
// status.
std::vector<WordFinding> word_findings(int index, const char* word);

// The format the first bytes of a file or region (format_probe_bytes at most) show where a raw
// binary belongs: "an ELF file", "Intel HEX text", "S-record text", "UF2 blocks", or nullptr.
const char* non_binary_format(const std::uint8_t* bytes, std::size_t count);
inline constexpr std::size_t format_probe_bytes = 64;

enum class ExtractOutcome { written, not_in_file, exists, cannot_write };

// Writes boot.bin, header.bin, app1.bin and app2.bin into `dir`, creating it if needed; the
// applications exactly `size` bytes each and un-reversed, each read from the image a stretch
// at a time. All four or none: each part is written whole into a temporary file beside its
// target, and the four are then renamed into place with every catchable signal held, so that a
// failure puts the old files back and a signal ends the run once all four are new. A target
// is a new name or, with `force`, a regular file with one name whose owner, group, mode and
// extended attributes the new file can take; anything else (a symbolic link, a file with other
// names, a mount point, a FIFO, a device, a directory, another user's file, the image itself)
// refuses the whole extraction before anything is written. Nothing the run made (temporary
// files, directories) outlives a failure or a catchable signal. `error` names the path and
// the reason when the outcome is not `written`.
ExtractOutcome extract_parts(const ByteSource& image, const InspectReport& r,
                             const std::string& dir, bool force, std::string& error);
