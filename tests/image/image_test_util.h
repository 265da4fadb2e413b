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

// `size` bytes of payload between two guards of at least 64 bytes; the
// payload starts `shift` bytes past the allocation's own alignment.
class Guarded {
 public:
  static constexpr std::size_t kGuard = 64;
  explicit Guarded(std::size_t size, std::size_t shift = 0)
      : size_(size), front_(kGuard + shift), bytes_(size + front_ + kGuard, kGuardByte) {
    std::memset(bytes_.data() + front_, kFillByte, size);
  }
  uint8_t* data() { return bytes_.data() + front_; }
  template <typename T>
  T* as() {
    return reinterpret_cast<T*>(data());
  }
  std::vector<uint8_t> Payload() const {
    return {bytes_.begin() + front_, bytes_.begin() + front_ + size_};
  }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < bytes_.size(); ++i)
      if ((i < front_ || i >= front_ + size_) && bytes_[i] != kGuardByte) return false;
    return true;
  }

 private:
  std::size_t size_;
  std::size_t front_;
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
