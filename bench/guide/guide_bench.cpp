// guide_bench: guide-grade timing of the camera API on the simulated camera,
// on the real clock (bench/run_guide_bench.sh adds the INDI driver's side).
// Prints, in microseconds unless marked:
//   pulse    the API call (tarncam_guide_pulse) to the guide control transfer
//            reaching the camera, median and 99th percentile over N pulses
//   frame    the end of the light to the frame in the API callback, and the
//            part of it the camera's modelled readout takes
//   fps      back-to-back 1 ms exposures through the API, against the
//            camera model's own frame period (exposure + readout), full
//            frame and a 320 x 240 window
// Usage: guide_bench [N]   (default 200)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "api/internal.h"
#include "core/builtin_platform.h"
#include "sim/sim_camera.h"
#include "tarncam/tarncam_camera.h"

namespace {

struct Rig {
  sim::RealClock clock;
  sim::Options opts = [] {
    sim::Options o = sim::DefaultOptions();
    o.scene = TARNCAM_SIM_SCENE_STARS;
    return o;
  }();
  sim::SimCamera cam{opts, clock};
  tarncam_camera* handle = nullptr;
  Rig() {
    if (tarncam::api::OpenOnPlatform({&cam, tarncam::BuiltinPlatform().system},
                                     sim::SimCamera::kPath, "bench:guide", &handle) != TARNCAM_OK) {
      std::fprintf(stderr, "guide_bench: the simulated camera did not open\n");
      std::exit(1);
    }
  }
  ~Rig() { tarncam_close(handle); }
};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

struct Callback {
  std::mutex mu;
  std::condition_variable cv;
  uint64_t atUs = 0;
  bool done = false;
  sim::RealClock* clock = nullptr;
};

void OnFrame(tarncam_camera*, const tarncam_frame_record*, void* user) {
  auto* c = static_cast<Callback*>(user);
  const uint64_t now = c->clock->NowUs();
  std::lock_guard<std::mutex> g(c->mu);
  c->atUs = now;
  c->done = true;
  c->cv.notify_all();
}

void Pulses(Rig& rig, int n) {
  std::vector<double> us, call;
  for (int i = 0; i < n; ++i) {
    const uint64_t before = rig.clock.NowUs();
    tarncam_guide_pulse(rig.handle, i % 2 ? TARNCAM_GUIDE_PLUS_X : TARNCAM_GUIDE_MINUS_X, 1, 0);
    const uint64_t after = rig.clock.NowUs();
    us.push_back(static_cast<double>(rig.cam.TimingMarks().guideUs - before));
    call.push_back(static_cast<double>(after - before));
  }
  std::printf(
      "pulse  API call to guide transfer at the camera: median %.1f us, p99 %.1f us; whole call "
      "median %.1f us (%d)\n",
      Percentile(us, 0.5), Percentile(us, 0.99), Percentile(call, 0.5), n);
}

void FrameLatency(Rig& rig, int n, uint32_t exposureMs) {
  tarncam_set_control(rig.handle, TARNCAM_CONTROL_EXPOSURE_MS, exposureMs);
  std::vector<uint8_t> frame(752 * 480 * 2);
  std::vector<double> total, readout;
  Callback cb;
  cb.clock = &rig.clock;
  for (int i = 0; i < n; ++i) {
    cb.done = false;
    tarncam_start_exposure(rig.handle, frame.data(), frame.size(), &OnFrame, &cb);
    std::unique_lock<std::mutex> lk(cb.mu);
    cb.cv.wait(lk, [&] { return cb.done; });
    lk.unlock();
    tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, nullptr);
    const sim::SensorSettings s = rig.cam.Sensor();
    const uint64_t lightEnd = rig.cam.TimingMarks().readUs + s.ExposureUs();
    total.push_back(static_cast<double>(cb.atUs - lightEnd));
    readout.push_back(static_cast<double>(s.TransferUs()));
  }
  std::printf(
      "frame  end of light to API callback (%u ms exposures): median %.0f us, p99 %.0f us, of "
      "which modelled readout %.0f us (%d)\n",
      exposureMs, Percentile(total, 0.5), Percentile(total, 0.99), Percentile(readout, 0.5), n);
}

void BackToBack(Rig& rig, int n, uint32_t width, uint32_t height) {
  tarncam_set_window(rig.handle, width, height);
  tarncam_set_control(rig.handle, TARNCAM_CONTROL_EXPOSURE_MS, 1);
  std::vector<uint8_t> frame(752 * 480 * 2);
  tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr);
  tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, nullptr);  // programs the camera
  const uint64_t start = rig.clock.NowUs();
  for (int i = 0; i < n; ++i) {
    tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr);
    tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, nullptr);
  }
  const double seconds = (rig.clock.NowUs() - start) / 1e6;
  const sim::SensorSettings s = rig.cam.Sensor();
  const double model = 1e6 / static_cast<double>(s.ExposureUs() + s.TransferUs());
  std::printf("fps    1 ms exposures back to back, %ux%u: %.1f frames/s; camera model %.1f (%.0f%%)\n",
              width, height, n / seconds, model, 100.0 * n / seconds / model);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
  Rig rig;
  Pulses(rig, n);
  FrameLatency(rig, std::max(10, n / 10), 100);
  BackToBack(rig, n, 752, 480);
  BackToBack(rig, n, 320, 240);
  return 0;
}
