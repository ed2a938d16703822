#include "inspect/inspect.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cli/run.h"

namespace {

// How velmora scans a word: its digits without leading zeros, and the bytes it skips other
// than "0x" and "_".
struct Scan {
  bool any_digit = false;
  std::string digits;
  std::string skipped;
};

Scan scan(const char* word) {
  Scan s;
  for (const char* p = word; *p != '\0'; ++p) {
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
      ++p;
    } else if (std::isxdigit(static_cast<unsigned char>(*p)) != 0) {
      s.digits += *p;
    } else if (*p != '_' && s.skipped.find(*p) == std::string::npos) {
      s.skipped += *p;
    }
  }
  s.any_digit = !s.digits.empty();
  s.digits.erase(0, s.digits.find_first_not_of('0'));
  return s;
}

// What the word may have meant: read with letters that look like digits as those digits (l, I
// and | as 1, o and O as 0), where that leaves no byte skipped.
std::string meant(const char* word, bool address) {
  std::string guess = word;
  for (char& c : guess) {
    c = std::strchr("lI|", c) != nullptr ? '1' : std::strchr("oO", c) != nullptr ? '0' : c;
  }
  if (guess == word || !scan(guess.c_str()).skipped.empty()) {
    return address ? "a typo?" : "a typo? (1 active, 0 invalid, 2 with the high window's flag)";
  }
  return format_text("0x%x meant, a letter typed for a digit?", hex_arg_value(guess.c_str()));
}

}  // namespace

const char* const word_finding_names[4][4] = {
    {"load_addr1_no_digit", "load_addr1_skipped_bytes", "load_addr1_too_long",
     "load_addr1_decimal"},
    {"status1_no_digit", "status1_skipped_bytes", "status1_too_long", "status1_negative"},
    {"load_addr2_no_digit", "load_addr2_skipped_bytes", "load_addr2_too_long",
     "load_addr2_decimal"},
    {"status2_no_digit", "status2_skipped_bytes", "status2_too_long", "status2_negative"}};

std::vector<CheckResult> word_findings(int index, const char* word) {
  const bool address = index % 2 == 0;
  const Scan s = scan(word);
  const std::uint32_t value = hex_arg_value(word);
  const auto status = static_cast<std::int8_t>(value & 0xFFu);
  // What velmora read: an address as eight digits, a status as the value it keeps.
  const std::string read = address
                               ? format_text("0x%08x", value)
                               : format_text("%d (%s)", status, status != 0 ? "active" : "invalid");
  // A word of ten decimal digits at most, read as decimal; 1, never page-aligned, for any other.
  const std::size_t n = std::strlen(word);
  const unsigned long long decimal = n > 0 && n <= 10 && std::strspn(word, "0123456789") == n
                                         ? std::strtoull(word, nullptr, 10)
                                         : 1;
  std::vector<CheckResult> out;
  // Each finding names the word and what was typed first, cut to format_text's length as a whole.
  const auto add = [&](int kind, const std::string& rest) {
    out.push_back({word_finding_names[index][kind], Verdict::warn,
                   format_text("%s \"%s\" %s", numeric_words[index], word, rest.c_str())});
  };
  if (!s.any_digit) {
    add(0, "holds no hexadecimal digit: velmora read " + read + "; " + meant(word, address));
  } else if (!s.skipped.empty()) {
    add(1, "holds bytes velmora skips (" + s.skipped + "): it read " + read + "; " +
               meant(word, address));
  }
  if (s.digits.size() > 8) {
    add(2, format_text("has %u significant digits: velmora keeps the last eight and read %s; 0x%s "
                       "meant, with a digit too many?",
                       static_cast<unsigned>(s.digits.size()), read.c_str(), s.digits.c_str()));
  }
  if (address && (value & 0xFFFu) != 0 && decimal <= 0xFFFFFFFFull && (decimal & 0xFFFull) == 0) {
    add(3, format_text("is read as hexadecimal, 0x%08x, which is not page-aligned; as a decimal "
                       "number it is 0x%08llx, which is: write 0x%08llx if that was meant",
                       value, decimal, decimal));
  }
  if (!address && status < 0) {
    add(3, format_text("gives 0x%02x, which velmora keeps as %s: a negative status never sets the "
                       "high window's flag; 1 or 2 meant?",
                       value & 0xFFu, read.c_str()));
  }
  return out;
}

const char* non_binary_format(const std::uint8_t* bytes, std::size_t count) {
  const std::string_view head(reinterpret_cast<const char*>(bytes), count);
  if (head.starts_with("\177ELF")) {
    return "an ELF file";
  }
  if (head.starts_with("UF2\nWQ]\x9e")) {
    return "UF2 blocks";
  }
  // A text record: its mark, then hexadecimal digits to the end of the first line.
  const bool hex_record = head.starts_with(':');
  const bool s_record = count > 1 && head[0] == 'S' && head[1] >= '0' && head[1] <= '9';
  if (!hex_record && !s_record) {
    return nullptr;
  }
  const std::size_t from = hex_record ? 1 : 2;
  const std::size_t at = std::min(head.find_first_not_of("0123456789ABCDEFabcdef", from), count);
  const bool line_ends = at == count || head[at] == '\r' || head[at] == '\n';
  if (!line_ends || at - from < (hex_record ? 10u : 6u)) {
    return nullptr;
  }
  return hex_record ? "Intel HEX text" : "S-record text";
}
