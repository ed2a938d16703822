// The inspection report as plain ASCII text for people and as one JSON object for scripts.
#pragma once

#include <string>

#include "inspect/inspect.h"

// "pass", "warn", "fail" or "skip".
const char* verdict_name(Verdict verdict);

// The facts, one line per check and a summary line.
std::string report_text(const std::string& path, const InspectReport& r);

// The same facts and verdicts; the field names are stable and documented in README.md.
std::string report_json(const std::string& path, const InspectReport& r);

// `text` as a JSON string, quotes included: quote, backslash and control characters escaped,
// other bytes kept as they are.
std::string json_string(const std::string& text);
