// What the x86-64 processor and the operating system let this process execute, read once from
// CPUID (and XGETBV for the saved register state). Code that carries builds for several
// instruction sets asks here instead of compiler built-ins, whose feature names differ between
// GCC and clang. On other architectures every answer is false.
#ifndef BASE_CPU_FEATURES_H_
#define BASE_CPU_FEATURES_H_

namespace base {

// AVX with its YMM state saved by the operating system, and the 16-bit float conversions.
bool CpuHasF16c();

// AVX2 and FMA3 as well as everything CpuHasF16c() asks for.
bool CpuHasAvx2FmaF16c();

}  // namespace base

#endif  // BASE_CPU_FEATURES_H_
