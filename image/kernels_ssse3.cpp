// The vector kernels built for SSSE3; used only when the processor has it.

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#pragma GCC target("sse2,ssse3")

#define TARNCAM_KERNEL_LEVEL kSsse3
#define TARNCAM_KERNEL_TABLE kSsse3Kernels
#include "image/simd_kernels.inc"

#endif
