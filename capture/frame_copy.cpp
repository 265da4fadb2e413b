// The readout's per-frame copies: the window's rows out of the transfer, and
// the 10-bit wire samples into plain values.

#include "capture/readout.h"

#include <cstdint>

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

void DeliverRows(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize, uint32_t stride,
                 std::size_t words) {
  // One pass reads and writes the frame once instead of twice. It converts
  // each row right after moving it, so it gives the same bytes as the two
  // passes only when no row lands on a later row's source: always for the
  // readout, whose rows go to another buffer or towards the start of the
  // transfer (dst <= src, stride >= rowSize).
  const auto d = reinterpret_cast<std::uintptr_t>(dst);
  const auto s = reinterpret_cast<std::uintptr_t>(src);
  const bool wholeRows = rowSize % 2 == 0 && words == std::size_t{rows} * (rowSize / 2);
  const bool rowsStayAhead = rows <= 1 || (d <= s && stride >= rowSize) ||
                             d + std::size_t{rows} * rowSize <= s ||
                             s + std::size_t{rows - 1} * stride + rowSize <= d;
  const image::ImageKernels& kernels = image::Kernels();
  if (words != 0 && wholeRows && rowsStayAhead) {
    kernels.copyRowsRepack10(dst, src, rows, rowSize, stride);
    return;
  }
  kernels.copyRows(dst, src, rows, rowSize, stride);
  if (words != 0) kernels.repack10(dst, words);
}

}  // namespace tarncam
