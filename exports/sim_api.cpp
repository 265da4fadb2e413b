// The simulator's C interface for the 36 exported functions: one simulated
// camera, attached in place of the library's own USB backend. Compiled into
// the native libraries themselves (not into the simulator's static library)
// so that its symbols stay visible in libtarncam.so.

#include <memory>
#include <mutex>
#include <string>

#include "exports/default_camera.h"
#include "platform/path_copy.h"
#include "sim/options_text.h"
#include "sim/sim_device.h"
#include "tarncam/tarncam_sim.h"

namespace {

std::mutex gMu;
std::unique_ptr<sim::SimDevice> gAttached;

void DetachLocked() {
  if (!gAttached) return;
  tarncam::UsePlatform(nullptr, nullptr);
  gAttached.reset();
}

}  // namespace

extern "C" {

void tarncam_sim_default_options(tarncam_sim_options* options) {
  if (options != nullptr) *options = sim::DefaultOptions();
}

int tarncam_sim_parse_options(const char* text, tarncam_sim_options* options, char* error,
                              uint32_t error_size) {
  std::string why = "null text or options";
  sim::Options o;
  if (text != nullptr && options != nullptr && sim::ParseOptions(text, &o, &why)) {
    *options = o;
    return 0;
  }
  if (error != nullptr && error_size != 0) tarncam::CopyPathBounded(why.c_str(), error, error_size);
  return -1;
}

int tarncam_sim_attach(const tarncam_sim_options* options) {
  sim::Options o;
  if (!sim::OptionsFromCaller(options, &o)) return -1;
  std::lock_guard<std::mutex> g(gMu);
  DetachLocked();
  // On the real clock, the library's own POSIX services: real sleeps,
  // pthreads, sem_t.
  gAttached = std::make_unique<sim::SimDevice>(o, tarncam::BuiltinPlatform().system);
  tarncam::UsePlatform(&gAttached->camera(), &gAttached->system());
  return 0;
}

void tarncam_sim_detach(void) {
  std::lock_guard<std::mutex> g(gMu);
  DetachLocked();
}

int tarncam_sim_set_present(int present) {
  std::lock_guard<std::mutex> g(gMu);
  if (!gAttached) return -1;
  gAttached->camera().SetPresent(present != 0);
  return 0;
}

int tarncam_sim_get_stats(tarncam_sim_stats* stats) {
  std::lock_guard<std::mutex> g(gMu);
  if (!gAttached || stats == nullptr) return -1;
  *stats = gAttached->camera().Stats();
  return 0;
}

uint32_t tarncam_sim_test_pattern(uint32_t row, uint32_t column, int ten_bit) {
  return sim::TestPatternSample(row, column, ten_bit != 0);
}

}  // extern "C"
