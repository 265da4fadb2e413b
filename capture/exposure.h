#pragma once
// Starting exposures inline or on a worker thread, and their completion.

#include <cstdint>

#include "interface/camera_state.h"

namespace tarncam {

// The readout worker's requested stack size.
inline constexpr uint32_t kWorkerStackSize = 1024;

uint32_t Exposure(Camera& cam, uint8_t* destination);
std::uintptr_t ThreadedExposure(Camera& cam, uint8_t* destination);
std::uintptr_t StartExposure(Camera& cam, uint8_t* destination, bool threaded);
uint32_t isExposing(const CameraState& s);
Handle ExposureSemaphore(CameraState& s, Handle semaphore);

}  // namespace tarncam
