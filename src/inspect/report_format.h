// The inspection report as plain ASCII text for people and as one JSON object for scripts.
#pragma once

#include <string>
#include <vector>

#include "common/run_args.h"
#include "inspect/against.h"
#include "inspect/diff.h"
#include "inspect/inspect.h"

// "pass", "warn", "fail" or "skip".
const char* verdict_name(Verdict verdict);

// The facts, one line per check and a summary line; with `quiet`, only the lines of failed
// checks and warnings, and the summary line.
std::string report_text(const std::string& path, const InspectReport& r, bool quiet = false);

// The same facts and verdicts; the field names are stable and documented in DEVELOPING.md. With
// `with_map`, the region table too, as "map".
std::string report_json(const std::string& path, const InspectReport& r, bool with_map = false);

// The region table with a bar that shows where each region lies in the file.
std::string map_text(const InspectReport& r);

// Whether `text` is well-formed UTF-8 (strictly: no overlong forms, surrogates or values past
// U+10FFFF).
bool is_utf8(const std::string& text);

// `text` as a JSON string, quotes included: quote, backslash and control characters escaped,
// well-formed UTF-8 kept as it is, and each byte that is not UTF-8 (a path in a Windows code
// page, say) replaced by U+FFFD, so that the report is always valid UTF-8.
std::string json_string(const std::string& text);

// `"KEY": "path", "KEY_hex": null` for a path that is UTF-8; where it is not, KEY_hex holds
// the path's exact bytes in lower-case hexadecimal, since KEY cannot.
std::string json_path(const char* key, const std::string& path);

// One JSON object for a run that ends with inspect_exit_error: "result": "error" and the
// reason, so that a script reading --json output always gets an object.
std::string error_json(const std::string& reason);

// The comparison with the inputs: the warnings, each difference named, and the result; with
// `quiet`, the inputs and lengths are left out.
std::string against_text(const std::string& path, const RunArgs& args, const AgainstReport& r,
                         bool quiet = false);
// The same as one JSON object.
std::string against_json(const std::string& path, const RunArgs& args, const AgainstReport& r);
// inspect_exit_pass when the image is identical to what the inputs give, else
// inspect_exit_fail.
int against_exit_status(const AgainstReport& r);

// Two images region by region: each region said to be the same or differing, and the result;
// with `quiet`, only the differing regions and the result.
std::string diff_text(const std::string& path_a, const std::string& path_b, const DiffReport& r,
                      bool quiet = false);
// The same as one JSON object.
std::string diff_json(const std::string& path_a, const std::string& path_b, const DiffReport& r);
