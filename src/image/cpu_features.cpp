#include "image/cpu_features.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <cpuid.h>
#define VELMORA_ASK_CPUID 1
#else
#define VELMORA_ASK_CPUID 0
#endif

// On 64-bit Arm the instructions cannot be asked for from user space; Linux hands the
// processor's capabilities to every program in its auxiliary vector.
#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#define VELMORA_ASK_HWCAP 1
#else
#define VELMORA_ASK_HWCAP 0
#endif

namespace {

// One CPUID leaf answers both questions. The compiler's own feature check would ask many
// more leaves at every start, and under a hypervisor each costs a trip out of the guest:
// together a noticeable part of composing a small image.
CpuFeatures ask_processor() {
  CpuFeatures features;
#if VELMORA_ASK_CPUID
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
    features.clmul = (ecx & bit_PCLMUL) != 0;
    features.ssse3 = (ecx & bit_SSSE3) != 0;
  }
#endif
#if VELMORA_ASK_HWCAP
  features.crc32 = (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0;
#endif
  return features;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = ask_processor();
  return features;
}
