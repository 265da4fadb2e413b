// One frame through the camera API (start, then wait) beside one through the
// exported functions (Exposure), each on a simulated camera on virtual time,
// so that only the library's own work and the simulator's rendering count.
// The allocations counter counts operator new calls per frame.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "tarncam/tarncam.h"
#include "tarncam/tarncam_camera.h"

namespace {
std::atomic<uint64_t> gAllocations{0};
}  // namespace

void* operator new(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

tarncam_sim_options Options() {
  tarncam_sim_options o;
  tarncam_sim_default_options(&o);
  o.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
  o.virtual_time = 1;
  return o;
}

void ApiFrame(benchmark::State& state) {
  const tarncam_sim_options o = Options();
  tarncam_camera* cam = nullptr;
  if (tarncam_open_simulated(&o, &cam) != TARNCAM_OK) {
    state.SkipWithError("open");
    return;
  }
  tarncam_set_control(cam, TARNCAM_CONTROL_EXPOSURE_MS, 10);
  std::vector<uint8_t> frame(752 * 480);
  tarncam_frame_record r{};
  r.struct_size = sizeof r;
  // The first frame programs the camera.
  tarncam_start_exposure(cam, frame.data(), frame.size(), nullptr, nullptr);
  tarncam_wait_frame(cam, TARNCAM_WAIT_FOREVER, &r);
  const uint64_t before = gAllocations.load();
  for (auto _ : state) {
    tarncam_start_exposure(cam, frame.data(), frame.size(), nullptr, nullptr);
    if (tarncam_wait_frame(cam, TARNCAM_WAIT_FOREVER, &r) != TARNCAM_OK) state.SkipWithError("frame");
  }
  state.counters["allocations"] = benchmark::Counter(
      static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
  tarncam_close(cam);
}
BENCHMARK(ApiFrame)->Unit(benchmark::kMicrosecond);

void ExportsFrame(benchmark::State& state) {
  const tarncam_sim_options o = Options();
  if (tarncam_sim_attach(&o) != 0 || openUSB(0) != 1) {
    state.SkipWithError("open");
    return;
  }
  ProgramCamera(10, 50, 0, 0);
  std::vector<uint8_t> frame(752 * 480);
  Exposure(frame.data());
  const uint64_t before = gAllocations.load();
  for (auto _ : state) Exposure(frame.data());
  state.counters["allocations"] = benchmark::Counter(
      static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
  closeUSB();
  tarncam_sim_detach();
}
BENCHMARK(ExportsFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
