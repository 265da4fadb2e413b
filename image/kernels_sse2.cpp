// The vector kernels built for SSE2; used only when the processor has it.

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#pragma GCC target("sse2")

#define TARNCAM_KERNEL_LEVEL kSse2
#define TARNCAM_KERNEL_TABLE kSse2Kernels
#include "image/simd_kernels.inc"

#endif
