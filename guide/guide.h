#pragma once
// The autoguider port: timed pulses on two axes and their cancellation.

#include <cstdint>

#include "interface/camera_state.h"

namespace tarncam {

uint32_t GuideCommandXY(Camera& cam, uint32_t direction, int32_t first, int32_t second);
uint32_t GuideCommand(Camera& cam, uint32_t direction, int32_t duration);
uint32_t CancelGuide(Camera& cam, uint32_t first, uint32_t second);

}  // namespace tarncam
