#include "inspect/inspect.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "cli/run.h"
#include "inspect/report_format.h"

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
      s.any_digit = true;
      if (!s.digits.empty() || *p != '0') {
        s.digits += *p;
      }
    } else if (*p != '_' && s.skipped.find(*p) == std::string::npos) {
      s.skipped += *p;
    }
  }
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

std::string status_text(std::uint32_t value) {
  const auto status = static_cast<std::int8_t>(value & 0xFFu);
  return format_text("%d (%s)", status, status != 0 ? "active" : "invalid");
}

// A word of decimal digits whose decimal value is page-aligned where its hexadecimal one is not.
bool plausible_decimal(const char* word, std::uint32_t hex_value, std::uint32_t& decimal) {
  const std::size_t n = std::strlen(word);
  if (n == 0 || n > 10 || std::strspn(word, "0123456789") != n || (hex_value & 0xFFFu) == 0) {
    return false;
  }
  const unsigned long long value = std::strtoull(word, nullptr, 10);  // ten digits at most
  decimal = static_cast<std::uint32_t>(value);
  return value <= 0xFFFFFFFFull && (value & 0xFFFull) == 0;
}

}  // namespace

const char* const word_finding_names[4][4] = {
    {"load_addr1_no_digit", "load_addr1_skipped_bytes", "load_addr1_too_long",
     "load_addr1_decimal"},
    {"status1_no_digit", "status1_skipped_bytes", "status1_too_long", "status1_negative"},
    {"load_addr2_no_digit", "load_addr2_skipped_bytes", "load_addr2_too_long",
     "load_addr2_decimal"},
    {"status2_no_digit", "status2_skipped_bytes", "status2_too_long", "status2_negative"}};

std::vector<WordFinding> word_findings(int index, const char* word) {
  const bool address = index % 2 == 0;
  const Scan s = scan(word);
  const std::uint32_t value = hex_arg_value(word);
  // What velmora read: an address as eight digits, a status as the value it keeps.
  const std::string read = address ? format_text("0x%08x", value) : status_text(value);
  std::vector<WordFinding> out;
  // Each finding names the word and what was typed first, cut to format_text's length as a whole.
  const auto add = [&](int kind, const std::string& rest) {
    out.push_back({word_finding_names[index][kind],
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
  std::uint32_t decimal = 0;
  if (address && plausible_decimal(word, value, decimal)) {
    add(3, format_text("is read as hexadecimal, 0x%08x, which is not page-aligned; as a decimal "
                       "number it is 0x%08x, which is: write 0x%08x if that was meant",
                       value, decimal, decimal));
  }
  if (!address && (value & 0x80u) != 0) {
    add(3, format_text("gives 0x%02x, which velmora keeps as %s: a negative status never sets the "
                       "high window's flag; 1 or 2 meant?",
                       value & 0xFFu, status_text(value).c_str()));
  }
  return out;
}

const char* non_binary_format(const std::uint8_t* bytes, std::size_t count) {
  const auto starts = [&](const char* magic, std::size_t n) {
    return count >= n && std::memcmp(bytes, magic, n) == 0;
  };
  if (starts("\177ELF", 4)) {
    return "an ELF file";
  }
  if (starts("UF2\nWQ]\x9e", 8)) {
    return "UF2 blocks";
  }
  // A text record: its mark, then hexadecimal digits to the end of the first line.
  const bool hex_record = count > 0 && bytes[0] == ':';
  const bool s_record = count > 1 && bytes[0] == 'S' && bytes[1] >= '0' && bytes[1] <= '9';
  if (!hex_record && !s_record) {
    return nullptr;
  }
  std::size_t at = hex_record ? 1 : 2;
  std::size_t digits = 0;
  for (; at < count && std::isxdigit(bytes[at]) != 0; ++at) {
    ++digits;
  }
  const bool line_ends = at == count || bytes[at] == '\r' || bytes[at] == '\n';
  if (!line_ends || digits < (hex_record ? 10u : 6u)) {
    return nullptr;
  }
  return hex_record ? "Intel HEX text" : "S-record text";
}
