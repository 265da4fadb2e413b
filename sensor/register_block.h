#pragma once
// The 64-byte register block and the operations that send it.

#include <array>
#include <cstdint>

#include "core/camera_state.h"
#include "sensor/geometry.h"

namespace tarncam {

using RegisterBlock = std::array<uint8_t, 64>;

// Builds the block from the settings, the derived geometry in `s` and `w`.
RegisterBlock BuildRegisterBlock(const CameraState& s, const SensorWorkingValues& w);

// Whether ProgramSensor waits for the sensor after a transfer that failed.
// The exported interface always waits; the camera API does not, so that a
// camera that has gone away is reported at once.
enum class SettleAfterFailure : uint8_t { kWait, kSkip };

// Derives, builds and sends the block when it or the exposure changed or a
// resend is forced, then waits 500 ms for the sensor. Returns success when
// the block was sent or nothing needed sending, kNotOpen with no device open
// (nothing derived, built or sent), else the transfer's failure.
UsbResult ProgramSensor(Camera& cam, SettleAfterFailure settle = SettleAfterFailure::kWait);

// Stores the exposure (ms), gain, offset and fourth value, then programs.
UsbResult ProgramSettings(Camera& cam, uint32_t exposure, uint32_t gain, uint32_t offset,
                          uint32_t extraValue);

// Sends the stored settings again even if nothing changed (after the
// controller restarted and lost them).
UsbResult ResendSettings(Camera& cam);

}  // namespace tarncam
