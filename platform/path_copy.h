#pragma once

#include <cstddef>
#include <cstdint>

namespace tarncam {

// Copies a NUL-terminated path into `dest`, cut to capacity - 1 characters,
// always NUL-terminated (nothing is written when capacity is 0).
inline void CopyPathBounded(const char* src, char* dest, uint32_t capacity) {
  if (capacity == 0) return;
  uint32_t i = 0;
  for (; i + 1 < capacity && src[i] != '\0'; ++i) dest[i] = src[i];
  dest[i] = '\0';
}

}  // namespace tarncam
