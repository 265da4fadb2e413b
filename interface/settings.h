#pragma once
// The nine settings setters. They only store into the state; the camera sees
// a setting at the next programming.

#include <cstdint>

#include "interface/camera_state.h"

namespace tarncam {

// Stores the window. Only the low 16 bits of each argument count, and each
// dimension is then limited to the sensor (752 x 480): a larger window would
// make the frame transfer overrun the raw buffer. Limiting never enlarges a
// dimension, so a client buffer sized for the window it asked for still fits.
void Subframe(CameraState& s, uint32_t width, uint32_t height);

inline uint32_t VerticalFlip(CameraState& s, Switch on) { return s.verticalFlip = on; }
inline uint32_t HorizontalFlip(CameraState& s, Switch on) { return s.horizontalFlip = on; }
inline uint32_t SetAGC(CameraState& s, Switch on) { return s.agc = on; }
inline uint32_t SetCompanding(CameraState& s, Switch on) { return s.companding = on; }
inline uint32_t RowNoise(CameraState& s, Switch on) { return s.rowNoise = on; }
inline uint32_t SetDigitalGain(CameraState& s, uint32_t value) { return s.digitalGain = value; }

// Stores levels 0..6; anything else leaves the level unchanged and returns 0.
uint32_t ADCRef(CameraState& s, uint32_t level);

// 8 selects 8-bit samples; any other depth selects 10-bit samples (stored 9).
void DynamicRange(CameraState& s, uint32_t depth);

}  // namespace tarncam
