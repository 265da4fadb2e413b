#pragma once
// Reading one frame over the bulk pipe, with retries through a controller
// reset, and delivering it to the exposure's destination.

#include <cstddef>
#include <cstdint>

#include "interface/camera_state.h"

namespace tarncam {

inline constexpr int kMaxReadAttempts = 5;

// Runs one readout for the exposure already marked in `cam.state`. Returns 0
// when no semaphore is registered, else the release's success flag; with no
// device open, 0.
uint32_t ReadFrame(Camera& cam);

// Worker-thread entry: `arg` is the Camera*.
void ReadFrameWorker(void* arg);

// Restarts the controller's program and resends the last settings.
void ResetAndReprogram(Camera& cam);

// Moves `rows` rows of `rowSize` bytes from `src` (rows `stride` bytes apart)
// to `dst` (packed). Each row moves as if through a temporary, and later rows
// see what earlier rows wrote, so dst may lie at or before src in the same
// buffer (in-place compaction).
void CopyRows(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize, uint32_t stride);

// Turns `count` two-byte wire samples (bits 9..2, then bits 1..0) held as
// little-endian words into plain values 0..1023, in place.
void Repack10(uint8_t* words, std::size_t count);

// The readout's delivery of a frame: CopyRows, then Repack10 over the first
// `words` words at dst (0 for 8-bit samples). Where the repack covers exactly
// the rows copied, both happen in one pass over the frame.
void DeliverRows(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize, uint32_t stride,
                 std::size_t words);

}  // namespace tarncam
