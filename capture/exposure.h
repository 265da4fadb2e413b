#pragma once
// The exported interface's exposures: one at a time, guarded by `exposing`,
// run on the caller's thread or on a detached worker, ending in ReadFrame's
// publish (frame written, `exposing` cleared, semaphore released).

#include <cstdint>

#include "core/camera_state.h"

namespace tarncam {

// The readout worker's requested stack size.
inline constexpr uint32_t kWorkerStackSize = 1024;

enum class ExposureThread : uint8_t { kCaller, kWorker };

// Claims the camera for one exposure: a single atomic test-and-set of
// `exposing`, so two starts racing from two threads cannot both be accepted.
bool ClaimExposure(CameraState& s);

// Runs an exposure already claimed into `destination` (null: rawBuffer).
// On the caller's thread it returns ReadFrame's result once the frame is in
// place; on a worker it returns the worker's handle value, or
// kThreadStartFailed (with `exposing` cleared again) when none could start.
std::uintptr_t RunClaimedExposure(Camera& cam, uint8_t* destination, ExposureThread thread);

}  // namespace tarncam
