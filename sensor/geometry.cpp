#include "sensor/geometry.h"

namespace tarncam {
namespace {

constexpr uint32_t kFullHeight = 480;
constexpr uint32_t kFullHeightRowBase = 752;  // active columns of a full-height row
constexpr uint32_t kWindowedRowPitch = 660;   // 616 active columns + hBlank
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

  // Only the height chooses the sensor's readout: a full-height window reads
  // rows of 752 columns, any other rows of 616, whatever the width.
  if (s.height == kFullHeight) {
    s.vBlank = kFullHeightVBlank;
    s.rowPitch = s.hBlank + kFullHeightRowBase;
  } else {
    s.vBlank = kWindowedVBlank;
    s.rowPitch = kWindowedRowPitch;
  }

  s.rowBytes = s.width;
  s.rowsToCopy = s.height;

  // Centre the window vertically, on an even row.
  const int32_t outside = static_cast<int32_t>(kFullHeight - s.rowsToCopy);
  s.rowStart = static_cast<uint32_t>(outside >> 1) & 0xFFFE;

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

}  // namespace tarncam
