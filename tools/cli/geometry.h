#pragma once
// The colour cell at a frame's first pixel, and how to feed the library's
// demosaic. Pure functions.

#include <cstdint>
#include <string>

namespace tarncli {

// The 2x2 colour cell at the sensor site (x, y), as FITS BAYERPAT spells it
// ("RGGB", "GRBG", "GBRG", "BGGR"), for a mosaic with red at even row and
// even column of the full sensor. Used for a camera the user calls colour
// although it does not say so itself; the library reports the cell of one
// that does.
std::string BayerPatternAt(uint32_t x, uint32_t y);

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
