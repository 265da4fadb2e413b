// The readout's per-frame copies: the window's rows out of the transfer, and
// the 10-bit wire samples into plain values.

#include <cstring>

#include "capture/readout.h"

namespace tarncam {

void CopyRows(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize,
              uint32_t stride) {
  for (uint32_t r = 0; r < rows; ++r) {
    std::memmove(dst, src, rowSize);
    dst += rowSize;
    src += stride;
  }
}

void Repack10(uint8_t* words, std::size_t count) {
  // Wire form: first byte bits 9..2, low two bits of the second bits 1..0.
  for (std::size_t i = 0; i < count; ++i) {
    const uint32_t hi = words[2 * i];
    const uint32_t lo = words[2 * i + 1];
    const uint32_t v = (hi << 2) | (lo & 3);
    words[2 * i] = static_cast<uint8_t>(v);
    words[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
}

}  // namespace tarncam
