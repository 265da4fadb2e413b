#pragma once
// What a simulated frame shows. A generator is configured with the sensor's
// current settings and the scene's state at the end of the exposure, then
// writes one frame in the wire layout of the bulk pipe: Rows() rows of
// RowPitch() samples, blanking columns included; 8-bit samples as one byte,
// 10-bit samples as two (bits 9..2, then bits 1..0 in the low two bits of the
// second byte, whose upper six bits carry garbage the library must ignore).

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "sim/sensor_model.h"

namespace sim {

// The scene at the moment a frame is taken.
struct FrameConditions {
  SensorSettings sensor;
  double exposureS = 0;  // seconds of light
  double offsetX = 0;    // offset of the star field at the end of the light, pixels
  double offsetY = 0;
  // When the field moved during the light: its offsets over the exposure,
  // each holding an equal share of the light (empty: still, at offsetX/Y).
  std::vector<std::pair<double, double>> path;
  double transparency = 1.0;  // of the sky to starlight (clouds), 0..1
  uint64_t frameNumber = 0;   // seeds the noise of this frame
};

class FrameGenerator {
 public:
  virtual ~FrameGenerator() = default;
  virtual void Configure(const FrameConditions& c) = 0;
  // Writes at most `length` bytes of the frame; returns how many it wrote
  // (the frame size, or `length` when that is smaller).
  virtual uint64_t Generate(uint8_t* dst, uint64_t length) = 0;
};

// The test pattern: a fixed function of transfer row and column over the
// whole row pitch, independent of flips, window position and exposure.
uint32_t TestPatternSample(uint32_t row, uint32_t column, bool tenBit);

// The upper six bits of the second byte of a 10-bit wire sample (already
// shifted into place): never zero across a row, so a library that kept them
// would be caught.
inline uint8_t WireGarbage(uint32_t row, uint32_t column) {
  return static_cast<uint8_t>(((row * 7 + column * 13 + 1) % 63 + 1) << 2);
}

// Puts one sample on the wire at `dst`.
inline void PutSample(uint8_t* dst, uint32_t value, bool tenBit, uint32_t row, uint32_t column) {
  if (tenBit) {
    dst[0] = static_cast<uint8_t>(value >> 2);
    dst[1] = static_cast<uint8_t>((value & 3) | WireGarbage(row, column));
  } else {
    dst[0] = static_cast<uint8_t>(value);
  }
}

std::unique_ptr<FrameGenerator> MakeTestPattern();

// A synthetic sky: see star_field.h.
struct StarFieldConfig {
  uint64_t seed = 1;
  bool colour = false;
  uint32_t starCount = 40;
  double brightness = 200000;  // e-/s of the brightest star
  double skyLevel = 200;       // e-/pixel/s
  double readNoise = 6;        // e- rms
  double fwhmPx = 3.0;
  uint32_t hotPixels = 12;
};

std::unique_ptr<FrameGenerator> MakeStarField(const StarFieldConfig& config);

}  // namespace sim
