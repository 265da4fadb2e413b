#pragma once
// Window geometry, frame timing and the exposure split, derived from the
// settings each time the camera is programmed with a device open; and where
// a window lies on the sensor.

#include <cstdint>

#include "core/camera_state.h"

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

// Only the height chooses the sensor's readout: a full-height window reads
// rows of all 752 columns, any other window rows of the 616 centre columns
// (660 clocks with the 44 of horizontal blanking), whatever its width.
inline constexpr uint32_t kWindowedRowPitch = 660;
inline constexpr uint32_t kWindowedRowColumns = 616;

inline constexpr uint32_t RowPitchFor(uint32_t height, uint32_t hBlank) {
  return height == kSensorHeight ? hBlank + kSensorWidth : kWindowedRowPitch;
}

// The window's first row: centred vertically, rounded down to an even row.
// Arithmetic shift of the signed difference, as the camera's firmware
// expects (a height beyond 480 wraps).
inline constexpr uint32_t RowStartFor(uint32_t height) {
  const int32_t outside = static_cast<int32_t>(kSensorHeight - height);
  return static_cast<uint32_t>(outside >> 1) & 0xFFFE;
}

// Windows 376 and 400 wide start 50 samples into the transferred row; every
// other width at its start.
inline constexpr uint32_t WindowSkipSamples(uint32_t width) {
  return width == 376 || width == 400 ? 50 : 0;
}

// Recomputes vBlank, rowPitch, rowBytes, rowsToCopy, rowStart, rowsTotal,
// frameTime, leadTime, readLength and tailTime in `s`, in 32-bit wrapping
// arithmetic, and returns the working values.
SensorWorkingValues DeriveGeometry(CameraState& s);

// Where a window of width x height (within the sensor) lies: the sensor
// column and row of its corner nearest the sensor's origin, and the sensor
// site of the frame's first pixel. A transferred row of the windowed readout
// holds the centre columns; a horizontal flip mirrors the whole transferred
// row before the window is cut from it, a vertical flip reverses the
// window's rows.
struct WindowPlacement {
  uint32_t xOrigin = 0;
  uint32_t yOrigin = 0;
  uint32_t firstX = 0;
  uint32_t firstY = 0;
};
WindowPlacement PlaceWindow(uint32_t width, uint32_t height, bool flipHorizontal,
                            bool flipVertical);

// The Bayer mosaic of the colour sensor: red at even row and even column,
// blue at odd row and odd column, green between.
enum class SiteColour : uint8_t { kRed, kGreenOnRed, kGreenOnBlue, kBlue };
inline constexpr SiteColour ColourAt(uint32_t x, uint32_t y) {
  if ((y & 1) == 0) return (x & 1) == 0 ? SiteColour::kRed : SiteColour::kGreenOnRed;
  return (x & 1) == 0 ? SiteColour::kGreenOnBlue : SiteColour::kBlue;
}

// The 2 x 2 cell at a first pixel as FITS BAYERPAT spells it: each step
// along a delivered row or column moves one site, in either direction, so
// the first site's parity fixes the whole cell.
const char* BayerPatternAt(uint32_t x, uint32_t y);

}  // namespace tarncam
