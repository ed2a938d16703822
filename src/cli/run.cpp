#include "cli/run.h"

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

RunArgs parse_run_args(char* const argv[]) {
  RunArgs args;
  args.src1 = argv[1];
  args.src2 = argv[2];
  args.load_addr1 = hex_arg_value(argv[3]);
  // The status keeps only the low 8 bits, read as a signed number.
  args.status1 = static_cast<std::int8_t>(hex_arg_value(argv[4]) & 0xFFu);
  args.src3 = argv[5];
  args.load_addr2 = hex_arg_value(argv[6]);
  args.status2 = static_cast<std::int8_t>(hex_arg_value(argv[7]) & 0xFFu);
  args.des = argv[8];
  return args;
}
