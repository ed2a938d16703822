// printf-style formatting into a std::string, for the report texts.
#pragma once

#include <cstdint>
#include <string>

#include "common/fail.h"

// The formatted text; a text longer than 511 bytes is cut there.
std::string format_text(const char* format, ...) VELMORA_PRINTF_FORMAT(1, 2);

// A length or offset for %llx and %llu: the types a 64-bit count has differ between systems.
inline unsigned long long as_ull(std::int64_t n) {
  return static_cast<unsigned long long>(n);
}
