#include "interface/settings.h"

#include <algorithm>

namespace tarncam {

void Subframe(CameraState& s, uint32_t width, uint32_t height) {
  s.width = static_cast<uint16_t>(std::min<uint32_t>(width & 0xFFFF, kSensorWidth));
  s.height = static_cast<uint16_t>(std::min<uint32_t>(height & 0xFFFF, kSensorHeight));
}

uint32_t ADCRef(CameraState& s, uint32_t level) {
  if (level >= 7) return 0;  // rejected: the previous level stays
  s.adcRef = level;
  return level;
}

void DynamicRange(CameraState& s, uint32_t depth) { s.dynamicRange = depth == 8 ? 8 : 9; }

}  // namespace tarncam
