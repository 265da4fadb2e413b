#pragma once
// The sensor's part of a camera's record: its fixed size and gain codes, the
// caller's settings, the geometry derived from them and what was last
// programmed. Plain data, constant-initialised like the record it is part of.

#include <array>
#include <cstdint>

namespace tarncam {

// The sensor's full frame.
inline constexpr uint32_t kSensorWidth = 752;
inline constexpr uint32_t kSensorHeight = 480;

// A switch: 0 is off, anything else on; stored with all 32 bits.
using Switch = uint32_t;

// Sensor gain codes by gain index (0..47): 16..31, then 32..78 in steps of 2,
// then 104..111.
inline constexpr std::array<uint16_t, 48> gainTable = [] {
  std::array<uint16_t, 48> t{};
  for (int i = 0; i < 16; ++i) t[i] = static_cast<uint16_t>(16 + i);
  for (int i = 0; i < 24; ++i) t[16 + i] = static_cast<uint16_t>(32 + 2 * i);
  for (int i = 0; i < 8; ++i) t[40 + i] = static_cast<uint16_t>(104 + i);
  return t;
}();

struct SensorState {
  // --- Caller settings (stored by the setters and ProgramCamera) ---
  uint16_t width = kSensorWidth;
  uint16_t height = kSensorHeight;
  uint8_t dynamicRange = 8;  // 8: 8-bit samples; 9: 10-bit samples in 16-bit words
  Switch verticalFlip = 0;
  Switch horizontalFlip = 0;
  Switch agc = 0;
  Switch companding = 0;
  Switch rowNoise = 1;
  uint32_t adcRef = 0;  // always 0..6
  uint32_t digitalGain = 244;
  uint32_t exposure = 50;  // ms, as last given to ProgramCamera
  uint32_t gain = 50;      // 0..100 scale, larger acts as 100
  uint32_t offset = 127;   // stored only
  uint32_t extraValue = 0;  // stored only

  // --- Fixed sensor timing and derived geometry ---
  uint16_t hBlank = 44;
  uint16_t vBlank = 44;
  uint32_t rowStart = 4;
  uint32_t rowPitch = 0;
  uint32_t rowsTotal = 0;
  uint32_t frameTime = 0;
  uint32_t leadTime = 0;
  uint32_t readLength = 0;
  uint32_t tailTime = 0;
  uint32_t rowBytes = 0;
  uint32_t rowsToCopy = 0;

  // --- Programming memory ---
  std::array<uint8_t, 64> lastBlock{};
  uint32_t lastExposure = 100;
  Switch forceResend = 0;
};

}  // namespace tarncam
