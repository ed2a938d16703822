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

// How much a scan reads at a time (bench/README.md); a whole number of words, so that a scan
// from an application's first byte never splits one of its words.
inline constexpr std::int64_t stretch_bytes = std::int64_t{1} << 16;
static_assert(stretch_bytes % 4 == 0);

// A scan of [at, end) of `source`: next_stretch reads the next `n` bytes into `bytes` and moves
// `at` on, so that a scan stopped short of `end` met a failed read.
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
  bool in_file = false;            // offset + size lies within the file
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

// Reads the facts out of the image and judges every check; false, with `error`, only where a
// file cannot be read. With `readback` the source is a flash dump: the image ends where its
// header says, and readback_tail wants every byte after it 0xFF; where the header is missing or
// damaged or lays out more than the dump, the whole dump is the image and readback_tail warns.
bool inspect_source(const ByteSource& source, bool readback, InspectReport& report,
                    std::string& error);

// What --against knows of the inputs besides the header velmora writes from them.
struct InputFacts {
  std::int64_t bootloader_length = 0;
  std::uint32_t words[2] = {0, 0};  // APP1's and APP2's status words as typed
};

// Judges the checks in order. On an image's facts: all but those of the inputs (readback_tail
// only for a read-back), a silent one kept where it does not hold. With `inputs` (and the
// descriptors velmora writes from them): those --against judges on them, kept where they warn.
std::vector<CheckResult> judge_checks(const InspectReport& r, const InputFacts* inputs);

// Whether the flag rule can have set the flag bit: for an active application in the high window.
bool flag_allowed(const ImageDescriptor& d);

// Whether `name` is a warning velmora-inspect can give: a check's or a word finding's.
bool known_warning(const std::string& name);
int report_exit_status(const InspectReport& r);  // inspect_exit_fail where a check failed

// A header field (`a`, `b`), a region's bytes (`held_*`, `count`, `first`) or the file lengths.
enum class RegionKind { field, bytes, length };

// One region, header field or length compared; in --against A is the image, B the inputs.
struct RegionDiff {
  RegionKind kind = RegionKind::bytes;
  std::string what;  // stable name: "bootloader", "app1.load_addr", "app2_fill", "length", ...
  bool same = true;
  std::int64_t a = 0;
  std::int64_t b = 0;
  bool a_known = true;  // false for a field of a file without a header
  bool b_known = true;
  std::int64_t held_a = 0;  // the region's bytes each file holds
  std::int64_t held_b = 0;
  std::int64_t count = 0;     // bytes that differ, those only one side holds included
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
  std::vector<RegionDiff> regions{};
};

// Compares two images region by region, each laid out by its own header, the applications
// un-reversed (one moved between the windows differs in its load address alone); false, with
// `error`, only where a file cannot be read.
bool diff_images(const ByteSource& a, const ByteSource& b, DiffReport& report, std::string& error);

std::int64_t regions_differing(const DiffReport& r);

struct AgainstReport {
  std::int64_t length = 0;                    // the image's
  std::int64_t expected_length = 0;           // L from the inputs
  std::int64_t input_lengths[3] = {0, 0, 0};  // bootloader, APP1, APP2
  // The rows that differ, in image order, the length last; a bytes row counts only the bytes
  // both sides hold.
  std::vector<RegionDiff> differences{};
  // Set by the run: the likely mistakes the inputs and the image show, and with --readback how
  // many bytes of the dump follow the image's end.
  std::vector<CheckResult> warnings{};
  bool readback = false;
  std::int64_t tail_bytes = 0;
};

// Compares the image, region by region, with what velmora's composer writes from the inputs;
// false, with `error`, where a file cannot be read or velmora would refuse the inputs.
bool compare_against(const RunArgs& args, const ByteSource& boot, const ByteSource& app1,
                     const ByteSource& app2, const ByteSource& image, AgainstReport& report,
                     std::string& error);

// With --readback the image ends where the inputs say: the `length` difference of a longer
// dump goes where its tail is all 0xFF, else becomes the bytes difference readback_tail.
bool judge_readback_tail(const ByteSource& dump, AgainstReport& report, std::string& error);

// Fills report.warnings: the checks judged on the `inputs` and the header velmora writes from
// them, the findings on the numeric words among the seven `words`, then each warning of the
// plain report on `image` not named already. False, with `error`, when an input cannot be read.
bool against_warnings(const RunArgs& args, char* const* words, const ByteSource (&inputs)[3],
                      const InspectReport& image, AgainstReport& report, std::string& error);

// velmora's numeric words, in the order of its command line, and every name a finding on each
// can have.
inline constexpr const char* numeric_words[4] = {"load_addr1", "status1", "load_addr2", "status2"};
extern const char* const word_finding_names[4][4];

// What velmora's lenient reading of numeric_words[index] typed as `word` lost, which makes an
// image that will not boot, each a warning named by the word's label and the kind (e.g.
// "status1_no_digit"): no hexadecimal digit, bytes skipped other than "0x" and "_", more than
// eight significant digits, a decimal address or a negative status.
std::vector<CheckResult> word_findings(int index, const char* word);

// The format the first bytes of a file or region (format_probe_bytes at most) show where a raw
// binary belongs: "an ELF file", "Intel HEX text", "S-record text", "UF2 blocks", or nullptr.
const char* non_binary_format(const std::uint8_t* bytes, std::size_t count);
inline constexpr std::size_t format_probe_bytes = 64;

enum class ExtractOutcome { written, not_in_file, exists, cannot_write };

// Writes boot.bin, header.bin, app1.bin and app2.bin into `dir`, made if needed, the
// applications `size` bytes each and un-reversed. All four or none: each is written whole
// beside its target, then the four are renamed into place with every catchable signal held.
// A target is a new name or, with `force`, a regular file with one name whose owner, group,
// mode and attributes the new file can take; anything else (a link, a file with other names, a
// mount point, a FIFO, a device, a directory, another user's file, the image itself) refuses
// the whole extraction first. Nothing the run made outlives a failure or a catchable signal.
ExtractOutcome extract_parts(const ByteSource& image, const InspectReport& r,
                             const std::string& dir, bool force, std::string& error);

// The report, as plain ASCII text for people and as one JSON object for scripts.

// printf into a std::string, for the report texts; a text longer than 511 bytes is cut there.
std::string format_text(const char* format, ...) VELMORA_PRINTF_FORMAT(1, 2);

// A length or offset for %llx and %llu: the types a 64-bit count has differ between systems.
inline unsigned long long as_ull(std::int64_t n) {
  return static_cast<unsigned long long>(n);
}

// One fact of a report: its JSON member and its line of text. A fact without JSON is in the
// text only, one without text in the JSON only, one without either (a fact this report does
// not have) in neither; both forms give the facts in the same order.
struct Item {
  const char* key = nullptr;    // nullptr: `json` stands as it is (a list's element, or members)
  std::string json{};           // the value in JSON form
  const char* label = nullptr;  // the text's "label: text"; nullptr: `text` is the whole line
  std::string text{};
  bool quiet = false;  // kept by --quiet
};

// Facts are members of the report's own object; an object or a list is a member of its own.
enum class BlockKind { facts, object, list };

// A run of facts. In the text, a block with a line to show starts with its blank line and its
// title, and labelled lines under a title are indented by two.
struct Block {
  BlockKind kind = BlockKind::facts;
  const char* key = nullptr;  // an object's or a list's member name
  bool gap = false;           // a blank line before the block
  std::string title{};        // the line or lines that head the block
  int width = 0;              // labels, colon included, are padded to this many characters
  std::vector<Item> items{};
};

// A report, built once and drawn by render_text and render_json.
using Doc = std::vector<Block>;

// The facts of an image, its checks and their verdicts, the summary; with `with_map`, the
// region table with its bar. The JSON names are stable and documented in DEVELOPING.md.
Doc report_doc(const std::string& path, const InspectReport& r, bool with_map);

// The lines of the document; with `quiet`, only the lines marked for it (failed checks,
// warnings, the summary), without blank lines and titles.
std::string render_text(const Doc& doc, bool quiet);

// The document as one JSON object, each member on its own line.
std::string render_json(const Doc& doc);

// The verdict of --strict on the warnings among `checks`: those `allow` names are accepted,
// any other sets `failed`; "strict" in both forms, kept by --quiet.
Block strict_block(const std::vector<CheckResult>& checks, const std::vector<const char*>& allow,
                   bool& failed);

// `text` as a JSON string, quotes included: quote, backslash and control characters escaped,
// well-formed UTF-8 kept as it is, and each byte that is not UTF-8 (a path in a Windows code
// page, say) replaced by U+FFFD, so that the report is always valid UTF-8.
std::string json_string(const std::string& text);

// The comparison with the inputs: the image and the inputs, the lengths, the warnings, each
// difference named, and the result; --quiet keeps the warnings, the differences and the result.
Doc against_doc(const std::string& path, const RunArgs& args, const AgainstReport& r);

// Two images region by region: their paths and lengths, each region said to be the same or
// differing, and the result; --quiet keeps the differing regions and the result.
Doc diff_doc(const std::string& path_a, const std::string& path_b, const DiffReport& r);
