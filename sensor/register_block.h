#pragma once
// The 64-byte register block and the operations that send it.

#include <array>
#include <cstdint>

#include "interface/camera_state.h"
#include "sensor/geometry.h"

namespace tarncam {

using RegisterBlock = std::array<uint8_t, 64>;

// Builds the block from the settings, the derived geometry in `s` and `w`.
RegisterBlock BuildRegisterBlock(const CameraState& s, const SensorWorkingValues& w);

// Derives, builds and sends the block when it or the exposure changed or a
// resend is forced. 1: no device or the transfer failed; 0 otherwise.
uint32_t ProgramSensor(Camera& cam);

// Stores its four arguments, programs, and returns 1.
uint32_t ProgramCamera(Camera& cam, uint32_t exposure, uint32_t gain, uint32_t offset,
                       uint32_t extraValue);

// Forces one resend of the last settings. Returns 1.
uint32_t ReprogramCamera(Camera& cam);

}  // namespace tarncam
