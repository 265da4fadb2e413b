#pragma once
// One delivered frame and what the file writers record about it.

#include <cstdint>
#include <string>
#include <vector>

namespace tarncli {

struct FrameInfo {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bits = 8;  // 8: one byte a sample; 10: 16-bit words holding 0..1023
  double exposureS = 0;
  uint32_t gain = 0;
  std::string dateObs;     // UTC start of the exposure, ISO 8601 with milliseconds
  std::string instrument;  // "tarncam" or "tarncam simulator"
  uint32_t xOrigin = 0;
  uint32_t yOrigin = 0;
  bool flipHorizontal = false;
  bool flipVertical = false;
  std::string bayerPattern;  // empty for a monochrome frame
};

// A raw frame: `height` rows of `width` samples. 8-bit frames use `bytes`,
// 10-bit frames `words`.
struct Frame {
  FrameInfo info;
  std::vector<uint8_t> bytes;
  std::vector<uint16_t> words;
};

// A demosaiced frame: 8-bit red, green and blue planes of width x height.
struct RgbImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> planes;  // red plane, then green, then blue
};

}  // namespace tarncli
