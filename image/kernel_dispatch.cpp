// Picks the kernel table for this processor. The features are read from the
// processor on every call (a load and a test, cheap beside a frame's worth of
// work), so there is nothing to initialise and nothing shared to race on
// except the test cap, an atomic.

#include <atomic>

#include "image/image_kernels.h"

namespace tarncam::image {
namespace {

std::atomic<int> gLevelCap{static_cast<int>(SimdLevel::kAvx2)};

}  // namespace

SimdLevel SupportedSimdLevel() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
  if (__builtin_cpu_supports("ssse3")) return SimdLevel::kSsse3;
  if (__builtin_cpu_supports("sse2")) return SimdLevel::kSse2;
#endif
  return SimdLevel::kPlain;
}

const ImageKernels& KernelsFor(SimdLevel level) {
  switch (level) {
#if defined(__i386__) || defined(__x86_64__)
    case SimdLevel::kAvx2:
      return kAvx2Kernels;
    case SimdLevel::kSsse3:
      return kSsse3Kernels;
    case SimdLevel::kSse2:
      return kSse2Kernels;
#endif
    default:
      return kPlainKernels;
  }
}

const ImageKernels& Kernels() {
  const int supported = static_cast<int>(SupportedSimdLevel());
  const int cap = gLevelCap.load(std::memory_order_relaxed);
  return KernelsFor(static_cast<SimdLevel>(supported < cap ? supported : cap));
}

void LimitSimdLevel(SimdLevel level) {
  gLevelCap.store(static_cast<int>(level), std::memory_order_relaxed);
}

}  // namespace tarncam::image
