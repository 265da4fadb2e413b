#pragma once
// The sensor as the camera's firmware programs it: the 64-byte register block
// of request 0x13 and the exposure carried in the request's value and index,
// decoded from the byte layout alone. The simulator deliberately does not use
// the library's block builder, so a layout fault on either side shows up as a
// wrong frame rather than cancelling out.

#include <cstdint>

namespace sim {

inline constexpr uint32_t kSensorColumns = 752;
inline constexpr uint32_t kSensorRows = 480;
// The sensor's first image row: the block's first-row word counts from the
// top of the dark rows, four above the image.
inline constexpr uint32_t kFirstImageRow = 4;
inline constexpr uint16_t kLongRegime = 0x0032;

struct SensorSettings {
  uint16_t companding = 0x0002;
  uint16_t gainCode = 16;
  uint16_t agc = 0;
  uint16_t regime = 0x7F20;
  uint16_t rowNoise = 0x0038;
  uint16_t orientation = 0x0320;
  uint16_t adcRef = 0x0840;
  uint8_t digitalGain = 0xF4;
  uint16_t firstRow = kFirstImageRow;
  uint16_t windowHeight = kSensorRows;
  uint16_t rowWidth = kSensorColumns;
  uint16_t hBlank = 44;
  uint16_t vBlank = 44;
  uint16_t shutterRows = 470;
  uint32_t leadTime = 8001;
  uint32_t readLength = 382080;
  uint32_t tailTime = 27027;
  uint32_t frameEndMark = 412332;
  uint8_t depth = 8;
  uint32_t deviceExposureMs = 1;  // value | index << 16 of the request

  uint32_t Rows() const { return windowHeight; }
  uint32_t RowPitch() const { return uint32_t{rowWidth} + hBlank; }
  bool TenBit() const { return (depth & 1) != 0; }
  uint32_t BytesPerSample() const { return TenBit() ? 2 : 1; }
  uint64_t FrameBytes() const { return uint64_t{Rows()} * RowPitch() * BytesPerSample(); }
  bool VerticalFlip() const { return (orientation & 0x0010) != 0; }
  // The horizontal bit runs the other way: set means "not mirrored".
  bool HorizontalFlip() const { return (orientation & 0x0020) == 0; }
  // Analogue gain: code / 16 (1x at code 16).
  double AnalogGain() const { return gainCode / 16.0; }

  // The pixel clock: the sensor reads 796-clock rows at 30 rows per ms with
  // 8-bit samples and 18 with 10-bit samples.
  double PixelClockHz() const { return 796.0 * (TenBit() ? 18 : 30) * 1000.0; }
  double RowTimeUs() const { return RowPitch() * 1e6 / PixelClockHz(); }
  // Short regime: the shutter width alone. Long regime: the time the camera
  // measures itself plus one full window of rows.
  uint64_t ExposureUs() const;
  // Lead, read and tail clocks: one frame time.
  uint64_t TransferUs() const;
};

// Decodes a 64-byte block: words high byte first, 24-bit counts low byte
// first.
SensorSettings DecodeBlock(const uint8_t* block, uint16_t value, uint16_t index);

// The settings the sensor wakes up with (and falls back to when the
// controller's program restarts): the full 8-bit window.
inline SensorSettings PowerOnSettings() { return SensorSettings{}; }

}  // namespace sim
