#include "sim/sensor_model.h"

#include <cmath>

namespace sim {
namespace {
uint16_t Word(const uint8_t* b, int at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }
uint32_t Count(const uint8_t* b, int at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16;
}
}  // namespace

// The firmware's split of an exposure: in the short regime the sensor's
// shutter width alone sets it; in the long regime the camera times the
// requested milliseconds itself and the sensor adds one window of rows.
uint64_t SensorSettings::ExposureUs() const {
  const double rows = regime == kLongRegime ? windowHeight : shutterRows;
  double us = rows * RowTimeUs();
  if (regime == kLongRegime) us += deviceExposureMs * 1000.0;
  return static_cast<uint64_t>(std::llround(us));
}

uint64_t SensorSettings::TransferUs() const {
  const double clocks = static_cast<double>(leadTime) + readLength + tailTime;
  return static_cast<uint64_t>(std::llround(clocks * 1e6 / PixelClockHz()));
}

// Positions 8-9 (offset), 17-18 and 29-32 (fixed words) carry nothing the
// model uses; 48-63 are padding.
SensorSettings DecodeBlock(const uint8_t* b, uint16_t value, uint16_t index) {
  SensorSettings s;
  s.companding = Word(b, 0);
  s.gainCode = Word(b, 2);
  s.agc = Word(b, 4);
  s.regime = Word(b, 6);
  s.rowNoise = Word(b, 10);
  s.orientation = Word(b, 12);
  s.adcRef = Word(b, 14);
  s.digitalGain = b[16];
  s.firstRow = Word(b, 19);
  s.windowHeight = Word(b, 21);
  s.rowWidth = Word(b, 23);
  s.hBlank = Word(b, 25);
  s.vBlank = Word(b, 27);
  s.shutterRows = Word(b, 33);
  s.leadTime = Count(b, 35);
  s.readLength = Count(b, 38);
  s.tailTime = Count(b, 41);
  s.frameEndMark = Count(b, 44);
  s.depth = b[47];
  s.deviceExposureMs = uint32_t{value} | uint32_t{index} << 16;
  return s;
}

}  // namespace sim
