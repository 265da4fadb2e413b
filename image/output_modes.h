#pragma once
// A frame in the six output formats, on plain buffers: which buffer each
// format reads, how far, and what it returns. The record's binding (the
// output mode it stores, when it widens) is capture/frame_output.h.

#include <cstddef>
#include <cstdint>

namespace tarncam {

// The frame an output format is written from.
struct OutputSource {
  const uint8_t* raw;    // the frame's samples as they arrived
  const uint16_t* wide;  // raw widened (sample b as b * 256): ready before modes 0, 3 and 5
  std::size_t entries;   // of each buffer: no format reads beyond it
  uint32_t mosaicWidth;  // the mosaic mode 4 demosaics (the sensor's full frame)
  uint32_t mosaicHeight;
};

// The mode a requested one selects: itself below 5, else 5 (the comparison is
// unsigned, so "negative" modes select 5).
constexpr uint32_t OutputModeFor(uint32_t requested) { return requested < 5 ? requested : 5; }

// Whether `mode` reads the widened samples.
constexpr bool OutputReadsWide(uint32_t mode) { return mode == 0 || mode == 3 || mode >= 5; }

// Writes the frame into `destination` in format `mode` (0..5):
//   0: the widened frame (host order), `length` bytes;
//   1: the raw samples' first `length` bytes unchanged;
//   2: each of the first `length` raw bytes three times (3 * length bytes);
//   3: each of the first `length` widened samples three times as 16-bit
//      words (6 * length bytes);
//   4: the raw samples demosaiced as mosaicWidth x mosaicHeight; `length` is
//      ignored and 3 * width * (height - 1) bytes are written;
//   5: each of the first `length` widened samples w as the 16-bit pattern of
//      w - 32768, high byte first (2 * length bytes).
// Limits: a source is never read beyond `entries`: a longer length is
// clamped to it (mode 0 counts bytes, so to 2 * entries) and the destination
// then needs room only for the clamped output. `destination` must not be
// null.
// Result: the destination (modes 0 and 1), 0 (modes 2, 3 and 5), the
// demosaic's rows (mode 4); it is no status.
std::uintptr_t WriteOutput(uint32_t mode, const OutputSource& source, uint8_t* destination,
                           uint32_t length);

// Copies `count` bytes from `source` (first argument) to `destination`, as if
// through a temporary buffer, so the ranges may overlap. Returns destination.
void* CopyOverlapping(const void* source, void* destination, uint32_t count);

}  // namespace tarncam
