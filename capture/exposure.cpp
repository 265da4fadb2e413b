#include "capture/exposure.h"

#include "capture/readout.h"

namespace tarncam {
namespace {

// One exposure at a time: a single atomic test-and-set, so that two starts
// racing from two threads cannot both be accepted.
bool Claim(CameraState& s) {
  uint32_t idle = 0;
  return s.exposing.compare_exchange_strong(idle, 1, std::memory_order_acq_rel);
}

}  // namespace

uint32_t Exposure(Camera& cam, uint8_t* destination) {
  if (!Claim(cam.state)) return 0;  // refused: nothing stored or started
  return static_cast<uint32_t>(StartExposure(cam, destination, false));
}

std::uintptr_t ThreadedExposure(Camera& cam, uint8_t* destination) {
  if (!Claim(cam.state)) return 0;
  return StartExposure(cam, destination, true);
}

std::uintptr_t StartExposure(Camera& cam, uint8_t* destination, bool threaded) {
  CameraState& s = cam.state;
  s.frameDest = destination;
  s.exposureHadDevice.store(s.DeviceOpen() ? 1 : 0, std::memory_order_relaxed);
  if (!threaded) return ReadFrame(cam);
  // The worker is detached; `cam` must outlive it (the exported camera is
  // static).
  const std::uintptr_t worker = cam.sys().StartWorker(ReadFrameWorker, kWorkerStackSize, &cam);
  if (worker == SystemServices::kThreadStartFailed) s.exposing.store(0, std::memory_order_release);
  return worker;
}

uint32_t isExposing(const CameraState& s) {
  // Acquire: a caller that sees 0 here sees the whole frame.
  return s.exposing.load(std::memory_order_acquire);
}

Handle ExposureSemaphore(CameraState& s, Handle semaphore) {
  s.doneSemaphore.store(semaphore, std::memory_order_relaxed);
  return semaphore;
}

}  // namespace tarncam
