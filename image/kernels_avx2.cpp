// The vector kernels built for AVX2; used only when the processor has it.

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#pragma GCC target("sse2,ssse3,avx2")

#define TARNCAM_KERNEL_LEVEL kAvx2
#define TARNCAM_KERNEL_TABLE kAvx2Kernels
#include "image/simd_kernels.inc"

#endif
