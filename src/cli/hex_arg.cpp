#include "cli/hex_arg.h"

#include <cstring>

std::uint32_t hex_arg_value(const char* text) {
  // A digit's value is its index modulo 16.
  constexpr char digits[] = "0123456789abcdef0123456789ABCDEF";
  std::uint32_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    const char* digit = std::strchr(digits, *p);
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
      ++p;  // the loop steps over the 'x'
    } else if (digit != nullptr) {
      value = (value << 4) | static_cast<std::uint32_t>((digit - digits) % 16);
    }
  }
  return value;
}
