#include "cli/geometry.h"

namespace tarncli {
namespace {

constexpr uint32_t kWindowedRowColumns = 616;

}  // namespace

WindowPlacement PlaceWindow(const ExposureSettings& s) {
  const uint32_t w = s.window.width;
  const uint32_t h = s.window.height;
  const uint32_t rowColumns = h == kSensorHeight ? kSensorWidth : kWindowedRowColumns;
  const uint32_t rowOrigin = (kSensorWidth - rowColumns) / 2;  // 0 or 68
  const uint32_t skip = (w == 376 || w == 400) ? 50 : 0;

  WindowPlacement p;
  p.yOrigin = ((kSensorHeight - h) / 2) & ~1u;
  // Read column c lies on sensor column rowOrigin + c, or with the flip on
  // rowOrigin + rowColumns - 1 - c; the window is read columns skip..skip+w-1.
  p.xOrigin = s.flipHorizontal ? rowOrigin + rowColumns - skip - w : rowOrigin + skip;
  p.firstX = s.flipHorizontal ? p.xOrigin + w - 1 : p.xOrigin;
  p.firstY = s.flipVertical ? p.yOrigin + h - 1 : p.yOrigin;
  return p;
}

std::string BayerPattern(const WindowPlacement& p) {
  // Each step along a delivered row or column moves one sensor site, in
  // either direction, so the parity of the first site fixes the whole cell.
  static const char* const kCells[2][2] = {{"RGGB", "GRBG"}, {"GBRG", "BGGR"}};
  return kCells[p.firstY & 1][p.firstX & 1];
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
