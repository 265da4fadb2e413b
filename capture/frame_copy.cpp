// The readout's per-frame copies: the window's rows out of the transfer, and
// the 10-bit wire samples into plain values.

#include "capture/readout.h"
#include "image/image_kernels.h"

namespace tarncam {

void CopyRows(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize, uint32_t stride) {
  // Row by row, each as memmove would move it, in vectors where the
  // processor has them (the compaction of a frame inside rawBuffer moves
  // rows onto themselves or towards the start).
  image::Kernels().copyRows(dst, src, rows, rowSize, stride);
}

void Repack10(uint8_t* words, std::size_t count) {
  // Wire form: first byte bits 9..2, low two bits of the second bits 1..0.
  // Each word is read and written in place by the same step, so the vector
  // kernels work in place too.
  image::Kernels().repack10(words, count);
}

}  // namespace tarncam
