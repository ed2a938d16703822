// What the processor offers beyond the generic x86-64 instruction set, for the checksum and
// the word reversal, which choose a faster path at run time.
#pragma once

struct CpuFeatures {
  bool clmul = false;  // carry-less multiplication (PCLMULQDQ)
  bool ssse3 = false;  // byte shuffles (PSHUFB)
};

// Asked of the processor once per run; all false on other processors and compilers.
const CpuFeatures& cpu_features();
