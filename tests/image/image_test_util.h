#pragma once
// Exact-size buffers with guard bytes on both sides, and a scope that runs
// the library's kernels at one instruction-set level.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/image_kernels.h"

namespace tarncam::testing {

inline constexpr uint8_t kGuardByte = 0xA5;
inline constexpr uint8_t kFillByte = 0xC3;  // marks bytes nobody wrote

// `size` bytes of payload between two 64-byte guards.
class Guarded {
 public:
  static constexpr std::size_t kGuard = 64;
  explicit Guarded(std::size_t size) : size_(size), bytes_(size + 2 * kGuard, kGuardByte) {
    std::memset(bytes_.data() + kGuard, kFillByte, size);
  }
  uint8_t* data() { return bytes_.data() + kGuard; }
  template <typename T>
  T* as() {
    return reinterpret_cast<T*>(data());
  }
  std::vector<uint8_t> Payload() const {
    return {bytes_.begin() + kGuard, bytes_.begin() + kGuard + size_};
  }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < kGuard; ++i)
      if (bytes_[i] != kGuardByte || bytes_[kGuard + size_ + i] != kGuardByte) return false;
    return true;
  }

 private:
  std::size_t size_;
  std::vector<uint8_t> bytes_;
};

// Every kernel level this processor runs, plainest first.
inline std::vector<image::SimdLevel> Levels() {
  std::vector<image::SimdLevel> levels;
  for (int l = 0; l <= static_cast<int>(image::SupportedSimdLevel()); ++l)
    levels.push_back(static_cast<image::SimdLevel>(l));
  return levels;
}

inline std::string LevelName(image::SimdLevel level) {
  static const char* const kNames[] = {"plain", "sse2", "ssse3", "avx2"};
  return kNames[static_cast<int>(level)];
}

class AtLevel {
 public:
  explicit AtLevel(image::SimdLevel level) : trace_(__FILE__, __LINE__, LevelName(level)) {
    image::LimitSimdLevel(level);
  }
  ~AtLevel() { image::LimitSimdLevel(image::SimdLevel::kAvx2); }

 private:
  ::testing::ScopedTrace trace_;
};

}  // namespace tarncam::testing
