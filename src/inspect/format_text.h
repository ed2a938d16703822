// printf-style formatting into a std::string, for the report texts.
#pragma once

#include <string>

#include "common/fail.h"

// The formatted text; a text longer than 511 bytes is cut there.
std::string format_text(const char* format, ...) VELMORA_PRINTF_FORMAT(1, 2);
