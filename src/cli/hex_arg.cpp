#include "cli/hex_arg.h"

namespace {

// The digit's value, or -1 for a byte that is not a hexadecimal digit.
int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

std::uint32_t hex_arg_value(const char* text) {
  std::uint32_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
      ++p;  // the loop steps over the 'x'
      continue;
    }
    const int digit = hex_digit(*p);
    if (digit >= 0) {
      value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
  }
  return value;
}
