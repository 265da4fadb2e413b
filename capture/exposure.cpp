#include "capture/exposure.h"

#include "capture/readout.h"

namespace tarncam {

bool ClaimExposure(CameraState& s) {
  uint32_t idle = 0;
  return s.exposing.compare_exchange_strong(idle, 1, std::memory_order_acq_rel);
}

std::uintptr_t RunClaimedExposure(Camera& cam, uint8_t* destination, ExposureThread thread) {
  CameraState& s = cam.state;
  s.frameDest = destination;
  s.exposureHadDevice.store(s.DeviceOpen() ? 1 : 0, std::memory_order_relaxed);
  // Counted before the readout can start, so an open after a close never
  // misses a readout the close abandoned.
  s.readoutsRunning.fetch_add(1, std::memory_order_acq_rel);
  if (thread == ExposureThread::kCaller) {
    const uint32_t result = ReadFrame(cam);
    EndReadout(cam);
    return result;
  }
  // The worker is detached; `cam` must outlive it (the exported camera is
  // static).
  const std::uintptr_t worker = cam.sys().StartWorker(ReadFrameWorker, kWorkerStackSize, &cam);
  if (worker == SystemServices::kThreadStartFailed) {
    s.exposing.store(0, std::memory_order_release);
    EndReadout(cam);
  }
  return worker;
}

}  // namespace tarncam
