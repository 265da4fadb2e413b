#pragma once
// Window geometry, frame timing and the exposure split, derived from the
// settings each time the camera is programmed with a device open.

#include <cstdint>

#include "interface/camera_state.h"

namespace tarncam {

// Values the register block needs besides the stored geometry.
struct SensorWorkingValues {
  uint32_t gainIndex;       // 0..47 into gainTable
  uint32_t rowRate;         // rows per ms of exposure: 30 (8-bit) or 18 (10-bit)
  uint32_t shutterLimit;    // longest exposure (ms) the shutter width alone carries
  int32_t shutterRows;      // shutter width in rows, at least 1
  uint32_t deviceExposure;  // ms the camera times itself, at least 1
  uint16_t regimeWord;      // 0x7F20 short regime, 0x0032 long regime
  uint32_t frameEndMark;    // frameTime less six rows
};

inline constexpr uint16_t kShortRegimeWord = 0x7F20;
inline constexpr uint16_t kLongRegimeWord = 0x0032;

// Recomputes vBlank, rowPitch, rowBytes, rowsToCopy, rowStart, rowsTotal,
// frameTime, leadTime, readLength and tailTime in `s`, in 32-bit wrapping
// arithmetic, and returns the working values.
SensorWorkingValues DeriveGeometry(CameraState& s);

}  // namespace tarncam
