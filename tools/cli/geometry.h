#pragma once
// Where a window lies on the sensor and which colour its first pixel has:
// the camera's readout rules, restated for the file headers. Pure functions.

#include <cstdint>
#include <string>

#include "cli/options.h"

namespace tarncli {

struct WindowPlacement {
  uint32_t xOrigin = 0;  // sensor column of the window's leftmost column
  uint32_t yOrigin = 0;  // sensor row of the window's top row
  // Sensor site of the frame's first pixel (row 0, column 0 as delivered):
  // with a flip it is the window's far corner.
  uint32_t firstX = 0;
  uint32_t firstY = 0;
};

// The camera reads full rows of 752 columns for a full-height window and
// rows of 616 columns, centred on the sensor, for any other height; the
// window is cut from the start of each row, 50 columns in for widths 376 and
// 400. Rows are centred vertically on an even row. A horizontal flip mirrors
// the whole read row before the window is cut; a vertical one reverses the
// window's rows.
WindowPlacement PlaceWindow(const ExposureSettings& settings);

// The 2x2 colour cell at the frame's first pixel, as FITS BAYERPAT spells
// it ("RGGB", "GRBG", "GBRG", "BGGR"), for a mosaic with red at even row and
// even column of the full sensor.
std::string BayerPattern(const WindowPlacement& placement);

// How to feed the library's demosaic so that its colour 1 and colour 2 land
// on the two non-green sites. It takes colour 1 from even rows, at the
// columns whose parity is the width's; when the window's even rows carry
// their non-green colour at the other parity, the last column is dropped.
struct DemosaicPlan {
  uint32_t width = 0;        // mosaic width handed to the library (W or W - 1)
  bool colour1IsRed = true;  // else colour 1 is blue
};
// False when the frame is too small to give one colour pixel.
bool PlanDemosaic(const std::string& bayerPattern, uint32_t width, uint32_t height,
                  DemosaicPlan* plan);

}  // namespace tarncli
