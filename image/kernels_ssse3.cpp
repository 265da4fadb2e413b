// The vector kernels built for SSSE3; used only when the processor has it.

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC target("sse2,ssse3")

// The pragma does not define the instruction-set macros in C++, so the
// kernels are told what they may use.
#define TARNCAM_KERNEL_SSSE3 1
#define TARNCAM_KERNEL_AVX2 0
#define TARNCAM_KERNEL_LEVEL kSsse3
#define TARNCAM_KERNEL_TABLE kSsse3Kernels
#include "image/simd_kernels.inc"

#endif
