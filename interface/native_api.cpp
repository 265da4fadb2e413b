// Native-only extras beside the 36 exports.

#include "tarncam/tarncam_native.h"

#include "interface/default_camera.h"

extern "C" {

const char* tarncam_device_path(void) { return tarncam::DefaultCamera().state.devicePath; }

void tarncam_read_counters(uint32_t* attempted, uint32_t* failed) {
  const tarncam::CameraState& s = tarncam::DefaultCamera().state;
  if (attempted != nullptr) *attempted = s.readsAttempted.load(std::memory_order_relaxed);
  if (failed != nullptr) *failed = s.readsFailed.load(std::memory_order_relaxed);
}

}  // extern "C"
