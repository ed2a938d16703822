// The interpreted command line of one run.
#pragma once

#include <cstdint>

// Text fields point at the command-line words themselves; they live as long as the process.
struct RunArgs {
  const char* src1 = "";         // word 1: the bootloader image
  const char* src2 = "";         // word 2: the APP1 image
  std::uint32_t load_addr1 = 0;  // word 3: APP1 load address
  std::int8_t status1 = 0;       // word 4: APP1 raw status, the low 8 bits read as signed
  const char* src3 = "";         // word 5: the APP2 image
  std::uint32_t load_addr2 = 0;  // word 6: APP2 load address
  std::int8_t status2 = 0;       // word 7: APP2 raw status
  const char* des = "";          // word 8: the download image to write
};
