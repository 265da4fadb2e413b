#include "sensor/geometry.h"

namespace tarncam {
namespace {

constexpr uint32_t kFullHeight = kSensorHeight;
constexpr uint16_t kFullHeightVBlank = 44;
constexpr uint16_t kWindowedVBlank = 11;
constexpr uint32_t kLeadRows = 10;
constexpr uint32_t kLeadExtraClocks = 41;
constexpr uint32_t kFrameExtraClocks = 4;
constexpr uint32_t kReferenceRowPitch = 796;  // the row that the row rates count
constexpr uint32_t kRowRate8 = 30;
constexpr uint32_t kRowRate10 = 18;
constexpr uint32_t kShutterMargin = 10;
constexpr uint32_t kGainCeiling = 100;
constexpr uint32_t kGainIndexScale = 47;
constexpr uint32_t kEndMarkRows = 6;

}  // namespace

// All arithmetic is 32-bit unsigned and wraps, with truncating divisions, in
// the order the camera's firmware expects: the results must match it to the
// clock.
SensorWorkingValues DeriveGeometry(CameraState& s) {
  SensorWorkingValues w{};

  const uint32_t g = s.gain >= kGainCeiling ? kGainCeiling : s.gain;
  w.gainIndex = g * kGainIndexScale / kGainCeiling;

  s.vBlank = s.height == kFullHeight ? kFullHeightVBlank : kWindowedVBlank;
  s.rowPitch = RowPitchFor(s.height, s.hBlank);

  s.rowBytes = s.width;
  s.rowsToCopy = s.height;
  s.rowStart = RowStartFor(s.rowsToCopy);

  s.rowsTotal = s.vBlank + s.rowsToCopy;
  s.frameTime = s.rowPitch * s.rowsTotal + kFrameExtraClocks;
  s.leadTime = kLeadRows * s.rowPitch + kLeadExtraClocks;
  s.readLength = s.rowPitch * s.rowsToCopy;
  s.tailTime = s.frameTime - s.leadTime - s.readLength;

  w.rowRate = (s.dynamicRange & 1) != 0 ? kRowRate10 : kRowRate8;
  w.shutterLimit = s.rowsToCopy * kReferenceRowPitch / s.rowPitch / w.rowRate;

  if (s.exposure <= w.shutterLimit) {
    // Short: the sensor's shutter width alone carries the exposure.
    const uint32_t rows = (s.rowsToCopy - kShutterMargin) - w.rowRate * (w.shutterLimit - s.exposure);
    w.shutterRows = static_cast<int32_t>(rows);
    if (w.shutterRows < 1) w.shutterRows = 1;
    w.deviceExposure = 1;
    w.regimeWord = kShortRegimeWord;
  } else {
    // Long: the camera times what the full shutter width does not cover.
    w.deviceExposure = s.exposure - w.shutterLimit;
    w.shutterRows = 1;
    w.regimeWord = kLongRegimeWord;
  }

  w.frameEndMark = s.frameTime - kEndMarkRows * s.rowPitch;
  return w;
}

WindowPlacement PlaceWindow(uint32_t width, uint32_t height, bool flipHorizontal,
                            bool flipVertical) {
  const uint32_t rowColumns = height == kSensorHeight ? kSensorWidth : kWindowedRowColumns;
  const uint32_t rowOrigin = (kSensorWidth - rowColumns) / 2;  // 0 or 68
  const uint32_t skip = WindowSkipSamples(width);
  WindowPlacement p;
  p.yOrigin = RowStartFor(height);
  // Transferred column c lies on sensor column rowOrigin + c, or mirrored on
  // rowOrigin + rowColumns - 1 - c; the window is columns skip .. skip + w - 1.
  p.xOrigin = flipHorizontal ? rowOrigin + rowColumns - skip - width : rowOrigin + skip;
  p.firstX = flipHorizontal ? p.xOrigin + width - 1 : p.xOrigin;
  p.firstY = flipVertical ? p.yOrigin + height - 1 : p.yOrigin;
  return p;
}

const char* BayerPatternAt(uint32_t x, uint32_t y) {
  static const char* const kCells[2][2] = {{"RGGB", "GRBG"}, {"GBRG", "BGGR"}};
  return kCells[y & 1][x & 1];
}

}  // namespace tarncam
