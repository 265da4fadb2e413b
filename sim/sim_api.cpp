// The simulator's C interface: one simulated camera on the real clock,
// reached through the exported functions. Compiled into the native libraries
// themselves (not into the simulator's static library) so that its symbols
// stay visible in libtarncam.so.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>

#include "interface/default_camera.h"
#include "sim/sim_camera.h"
#include "tarncam/tarncam_sim.h"

namespace {

struct Attached {
  sim::RealClock clock;
  std::unique_ptr<sim::SimCamera> camera;
};

// The options as the first version of the header laid them out: callers
// built against it pass this size, and later fields keep their defaults.
constexpr size_t kFirstOptionsSize = offsetof(tarncam_sim_options, replug_ms) + sizeof(uint32_t);

std::mutex gMu;
std::unique_ptr<Attached> gAttached;

void DetachLocked() {
  if (!gAttached) return;
  tarncam::UsePlatform(nullptr, nullptr);
  gAttached->camera->Shutdown();
  gAttached.reset();
}

}  // namespace

extern "C" {

void tarncam_sim_default_options(tarncam_sim_options* options) {
  if (options != nullptr) *options = sim::DefaultOptions();
}

int tarncam_sim_attach(const tarncam_sim_options* options) {
  if (options == nullptr || options->struct_size < kFirstOptionsSize) return -1;
  // Copy only what the caller's header knew; later fields keep defaults.
  sim::Options o = sim::DefaultOptions();
  std::memcpy(&o, options, std::min<size_t>(options->struct_size, sizeof o));
  o.struct_size = sizeof o;
  if (!sim::ValidOptions(o)) return -1;

  std::lock_guard<std::mutex> g(gMu);
  DetachLocked();
  auto a = std::make_unique<Attached>();
  a->camera = std::make_unique<sim::SimCamera>(o, a->clock);
  // The library's own POSIX services: real sleeps, pthreads, sem_t.
  tarncam::UsePlatform(a->camera.get(), tarncam::BuiltinPlatform().system);
  gAttached = std::move(a);
  return 0;
}

void tarncam_sim_detach(void) {
  std::lock_guard<std::mutex> g(gMu);
  DetachLocked();
}

int tarncam_sim_set_present(int present) {
  std::lock_guard<std::mutex> g(gMu);
  if (!gAttached) return -1;
  gAttached->camera->SetPresent(present != 0);
  return 0;
}

int tarncam_sim_get_stats(tarncam_sim_stats* stats) {
  std::lock_guard<std::mutex> g(gMu);
  if (!gAttached || stats == nullptr) return -1;
  *stats = gAttached->camera->Stats();
  return 0;
}

uint32_t tarncam_sim_test_pattern(uint32_t row, uint32_t column, int ten_bit) {
  return sim::TestPatternSample(row, column, ten_bit != 0);
}

}  // extern "C"
