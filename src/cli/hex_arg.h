// Numeric command-line words are read as hexadecimal, leniently: nothing is an error.
#pragma once

#include <cstdint>

// Scans the whole word: each hexadecimal digit shifts the value left by 4 bits (only the last
// eight digits survive), a '0' followed by 'x' or 'X' is stepped over wherever it stands, and
// every other byte is skipped. A word without digits gives 0; "10" gives 0x10.
std::uint32_t hex_arg_value(const char* text);
