// What the processor offers beyond the baseline instruction set of its architecture, for the
// checksum and the word reversal, which choose a faster path at run time.
#pragma once

struct CpuFeatures {
  bool clmul = false;  // x86: carry-less multiplication (PCLMULQDQ)
  bool ssse3 = false;  // x86: byte shuffles (PSHUFB)
  bool crc32 = false;  // 64-bit Arm: the CRC32 instructions (CRC32B ... CRC32X)
};

// Asked once per run; all false on other processors and compilers, and on 64-bit Arm systems
// other than Linux.
const CpuFeatures& cpu_features();
