#pragma once
// The last frame in six output formats, the raw buffer's address, and a
// byte copy for clients.

#include <cstdint>

#include "core/camera.h"

namespace tarncam {

inline constexpr uint32_t kFullFrameSamples = kSensorWidth * kSensorHeight;  // 360,960

// Stores the output format for GETBUFFER: `mode` when below 5, else 5 (the
// comparison is unsigned, so "negative" modes select 5). Returns 0, which
// carries no meaning.
uint32_t SETBUFFERMODE(CameraState& s, uint32_t mode);

// Writes the frame at the start of the buffers into `destination` in the
// format `bufferMode` selects:
//   0: the widened frame (sample b as the 16-bit value b * 256, host order),
//      `length` bytes;
//   1: the raw buffer's first `length` bytes unchanged;
//   2: each of the first `length` raw bytes three times (3 * length bytes);
//   3: each of the first `length` widened samples three times as 16-bit
//      words (6 * length bytes);
//   4: the raw buffer demosaiced as 752 x 480 (debayerImage); `length` is
//      ignored and 1,080,624 bytes are written;
//   5: each of the first `length` widened samples w as the 16-bit pattern of
//      w - 32768, high byte first (2 * length bytes).
// Modes 0, 3 and 5 widen the raw buffer first unless it is already widened
// for this frame (WidenFrame).
//
// Limits: the source is never read beyond its end, whatever `length` says.
// A length above the source is clamped to it: modes 1 and 2 to 784,000
// (raw bytes), modes 3 and 5 to 784,000 (widened samples), mode 0 to
// 1,568,000 (widened bytes); the destination then needs room only for the
// clamped output. A null destination is never written: the call does
// nothing at all (no widening either) and returns 0.
//
// Result: the destination (modes 0 and 1), 0 (modes 2, 3 and 5), 479
// (mode 4); it is no status.
std::uintptr_t GETBUFFER(CameraState& s, uint8_t* destination, uint32_t length);

// The raw buffer's first byte; the same address for the record's lifetime.
uint8_t* getbufptr(CameraState& s);

// Copies `count` bytes from `source` (first argument) to `destination`, as if
// through a temporary buffer, so the ranges may overlap. Returns destination.
void* bufferCopy(const void* source, void* destination, uint32_t count);

// Fills wideBuffer[0 .. 360,959] with rawBuffer[i] * 256 and sets wideValid,
// unless wideValid is already set (the readout clears it for each frame).
void WidenFrame(CameraState& s);

constexpr uint32_t SwapBytes16(uint32_t value) {
  return ((value >> 8) & 0xFF) | ((value & 0xFF) << 8);
}

}  // namespace tarncam
