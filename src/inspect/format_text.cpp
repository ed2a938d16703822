#include "inspect/format_text.h"

#include <array>
#include <cstdarg>
#include <cstdio>

std::string format_text(const char* format, ...) {
  std::array<char, 512> text{};
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  return text.data();
}
