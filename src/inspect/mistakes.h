// Mistakes that make an image that will not boot, seen in what velmora was given: a numeric
// word its lenient reading took with loss, and a file that is not a raw binary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What velmora's reading of one numeric word lost: the warning's name and what it says.
struct WordFinding {
  const char* name;  // the word's label and the kind, e.g. "status1_no_digit"
  std::string detail;
};

// velmora's numeric words, in the order of its command line: load_addr1, status1, load_addr2,
// status2; and every name a finding on each can have.
inline constexpr const char* numeric_words[4] = {"load_addr1", "status1", "load_addr2", "status2"};
extern const char* const word_finding_names[4][4];

// The findings for numeric word `index` (of numeric_words) typed as `word`: no hexadecimal
// digit, bytes skipped other than "0x" and "_", more than eight significant digits, and a
// decimal address or a negative status.
std::vector<WordFinding> word_findings(int index, const char* word);

// The format `bytes` (the first bytes of a file or region) begin with where a raw binary
// belongs: "an ELF file", "Intel HEX text", "S-record text" or "UF2 blocks"; nullptr for none.
const char* non_binary_format(const std::uint8_t* bytes, std::size_t count);

// How many first bytes non_binary_format looks at, at most.
inline constexpr std::size_t format_probe_bytes = 64;
