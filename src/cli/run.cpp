#include "cli/run.h"

#include "cli/hex_arg.h"

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
