#include "cli/geometry.h"

namespace tarncli {

std::string BayerPatternAt(uint32_t x, uint32_t y) {
  // Each step along a delivered row or column moves one sensor site, in
  // either direction, so the parity of the first site fixes the whole cell.
  static const char* const kCells[2][2] = {{"RGGB", "GRBG"}, {"GBRG", "BGGR"}};
  return kCells[y & 1][x & 1];
}

bool PlanDemosaic(const std::string& pattern, uint32_t width, uint32_t height, DemosaicPlan* plan) {
  // Column parity of the non-green site on even rows, and what it holds.
  uint32_t parity = 0;
  bool red = true;
  if (pattern == "RGGB") {
    parity = 0, red = true;
  } else if (pattern == "GRBG") {
    parity = 1, red = true;
  } else if (pattern == "GBRG") {
    parity = 1, red = false;
  } else if (pattern == "BGGR") {
    parity = 0, red = false;
  } else {
    return false;
  }
  const uint32_t w = (width & 1) == parity ? width : width - 1;
  if (w < 2 || height < 2) return false;
  *plan = {w, red};
  return true;
}

}  // namespace tarncli
