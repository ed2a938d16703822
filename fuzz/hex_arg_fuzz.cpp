// The hexadecimal value rule never fails and agrees with a plain reading of the rule.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/run.h"

namespace {

// The rule written out the plainest way: walk the word, step over "0x"/"0X", shift digits in.
std::uint32_t reference_value(const std::string& word) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  while (i < word.size()) {
    const char c = word[i];
    if (c == '0' && i + 1 < word.size() && (word[i + 1] == 'x' || word[i + 1] == 'X')) {
      i += 2;
      continue;
    }
    const char* const digits = "0123456789abcdef";
    const char lower = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
    const char* found = c == '\0' ? nullptr : std::strchr(digits, lower);
    const int digit = found == nullptr ? -1 : static_cast<int>(found - digits);
    if (digit >= 0) {
      value = ((value * 16) + static_cast<std::uint64_t>(digit)) % 0x100000000ull;
    }
    ++i;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A command-line word ends at its first NUL.
  std::string word(reinterpret_cast<const char*>(data), size);
  word = word.c_str();
  if (hex_arg_value(word.c_str()) != reference_value(word)) {
    std::abort();
  }
  return 0;
}
