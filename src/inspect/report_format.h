// The inspection report as plain ASCII text for people and as one JSON object for scripts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/fail.h"
#include "common/run_args.h"
#include "inspect/inspect.h"

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
