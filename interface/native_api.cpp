// Native-only extras beside the 36 exports.

#include "tarncam/tarncam_native.h"

#include "interface/default_camera.h"

static_assert(TARNCAM_FRAME_NONE == tarncam::kFrameNone &&
              TARNCAM_FRAME_COMPLETE == tarncam::kFrameComplete &&
              TARNCAM_FRAME_SHORT == tarncam::kFrameShort &&
              TARNCAM_FRAME_FAILED == tarncam::kFrameFailed &&
              TARNCAM_FRAME_UNCONFIRMED == tarncam::kFrameUnconfirmed);

extern "C" {

const char* tarncam_device_path(void) { return tarncam::DefaultCamera().state.devicePath; }

void tarncam_read_counters(uint32_t* attempted, uint32_t* failed) {
  const tarncam::CameraState& s = tarncam::DefaultCamera().state;
  if (attempted != nullptr) *attempted = s.readsAttempted.load(std::memory_order_relaxed);
  if (failed != nullptr) *failed = s.readsFailed.load(std::memory_order_relaxed);
}

uint32_t tarncam_last_frame(uint32_t* received, uint32_t* expected) {
  const tarncam::CameraState& s = tarncam::DefaultCamera().state;
  if (received != nullptr) *received = s.lastFrameReceived.load(std::memory_order_relaxed);
  if (expected != nullptr) *expected = s.lastFrameExpected.load(std::memory_order_relaxed);
  return s.lastFrameOutcome.load(std::memory_order_relaxed);
}

}  // extern "C"
