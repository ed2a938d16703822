// Mistakes that make an image that will not boot, seen in what velmora was given: a numeric
// word its lenient reading took with loss, and a file that is not a raw binary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What velmora's reading of one numeric word lost: the warning's name and what it says.
struct WordFinding {
  std::string name;  // the word's label and the kind, e.g. "status1_no_digit"
  std::string detail;
};

// The findings for one of velmora's numeric words (`label` load_addr1, status1, load_addr2 or
// status2; an address when `address`): no hexadecimal digit, bytes skipped other than "0x"
// and "_", more than eight significant digits, a decimal address, a negative status.
std::vector<WordFinding> word_findings(const char* label, const char* word, bool address);

// The format `bytes` (the first bytes of a file or region) begin with where a raw binary
// belongs: "an ELF file", "Intel HEX text", "S-record text" or "UF2 blocks"; nullptr for none.
const char* non_binary_format(const std::uint8_t* bytes, std::size_t count);

// How many first bytes non_binary_format looks at, at most.
inline constexpr std::size_t format_probe_bytes = 64;
