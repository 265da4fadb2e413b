#pragma once
// The last frame's output, on the record: the stored output mode, the
// once-per-frame widening, and the raw buffer. The formats themselves are
// image/output_modes.h; the exports GETBUFFER, SETBUFFERMODE, getbufptr and
// debayerBuffer are these under their callers' names.

#include <cstdint>

#include "capture/capture_state.h"
#include "sensor/sensor_state.h"

namespace tarncam {

// The sensor's full frame in samples: what WidenFrame widens and mode 4
// demosaics.
inline constexpr uint32_t kFullFrameSamples = kSensorWidth * kSensorHeight;  // 360,960

// Stores the output format for WriteFrameOutput (OutputModeFor). Returns 0,
// which carries no meaning.
uint32_t SelectOutputMode(CaptureState& s, uint32_t mode);

// Writes the frame at the start of the buffers into `destination` in the
// stored format (WriteOutput on the raw and widened buffers, mode 4 on the
// sensor's 752 x 480 frame). The widening modes widen the raw buffer first
// unless it is already widened for this frame. A null destination is never
// written: the call does nothing at all (no widening either) and returns 0.
std::uintptr_t WriteFrameOutput(CaptureState& s, uint8_t* destination, uint32_t length);

// The raw buffer's first byte; the same address for the record's lifetime.
inline uint8_t* RawFrame(CaptureState& s) { return s.rawBuffer.data(); }

// Fills wideBuffer[0 .. 360,959] with rawBuffer[i] * 256 and sets wideValid,
// unless wideValid is already set (the readout clears it for each frame).
void WidenFrame(CaptureState& s);

// The Bayer demosaic (debayerImage) of the raw buffer as a width x height
// mosaic, cut to the rows the raw buffer holds.
void DemosaicRawFrame(CaptureState& s, uint8_t* destination, uint32_t width, uint32_t height);

}  // namespace tarncam
