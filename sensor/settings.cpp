#include "sensor/settings.h"

#include <algorithm>

namespace tarncam {

void StoreWindow(CameraState& s, uint32_t width, uint32_t height) {
  s.width = static_cast<uint16_t>(std::min<uint32_t>(width & 0xFFFF, kSensorWidth));
  s.height = static_cast<uint16_t>(std::min<uint32_t>(height & 0xFFFF, kSensorHeight));
}

void StoreSampleDepth(CameraState& s, uint32_t depth) { s.dynamicRange = depth == 8 ? 8 : 9; }

bool StoreAdcReference(CameraState& s, uint32_t level) {
  if (level >= 7) return false;  // rejected: the previous level stays
  s.adcRef = level;
  return true;
}

}  // namespace tarncam
