#include "base/cpu_features.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace base {
namespace {

struct Features {
  bool f16c = false;
  bool avx2_fma = false;
};

Features Read() {
  Features features;
#if defined(__x86_64__)
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  constexpr unsigned int kFma = 1u << 12, kOsXsave = 1u << 27, kAvx = 1u << 28,
                         kF16c = 1u << 29;
  const unsigned int leaf1_ecx = ecx;
  if ((leaf1_ecx & (kOsXsave | kAvx)) != (kOsXsave | kAvx)) return features;
  // The operating system must save the XMM and YMM registers (XCR0 bits 1 and 2).
  unsigned int xcr0_low = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 6u) != 6u) return features;
  features.f16c = (leaf1_ecx & kF16c) != 0;
  constexpr unsigned int kAvx2 = 1u << 5;  // leaf 7, EBX
  if (features.f16c && (leaf1_ecx & kFma) != 0 &&
      __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
    features.avx2_fma = (ebx & kAvx2) != 0;
  }
#endif
  return features;
}

const Features& Get() {
  static const Features features = Read();
  return features;
}

}  // namespace

bool CpuHasF16c() { return Get().f16c; }
bool CpuHasAvx2FmaF16c() { return Get().avx2_fma; }

}  // namespace base
