#pragma once
// Storing the sensor settings. Nothing here talks to the camera: a setting
// reaches it at the next programming.

#include <cstdint>

#include "core/camera_state.h"

namespace tarncam {

// Stores the window. Only the low 16 bits of each argument count, and each
// dimension is then limited to the sensor (752 x 480): a larger window would
// make the frame transfer overrun the raw buffer. Limiting never enlarges a
// dimension, so a client buffer sized for the window it asked for still fits.
void StoreWindow(CameraState& s, uint32_t width, uint32_t height);

// 8 selects 8-bit samples; any other depth 10-bit samples (stored as 9).
void StoreSampleDepth(CameraState& s, uint32_t depth);

// Stores a reference level of 0..6 and returns true; anything else leaves
// the level unchanged and returns false.
bool StoreAdcReference(CameraState& s, uint32_t level);

}  // namespace tarncam
