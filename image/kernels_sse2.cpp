// The vector kernels built for SSE2; used only when the processor has it.

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC target("sse2")

// The pragma does not define the instruction-set macros in C++, so the
// kernels are told what they may use.
#define TARNCAM_KERNEL_SSSE3 0
#define TARNCAM_KERNEL_AVX2 0
#define TARNCAM_KERNEL_LEVEL kSse2
#define TARNCAM_KERNEL_TABLE kSse2Kernels
#include "image/simd_kernels.inc"

#endif
