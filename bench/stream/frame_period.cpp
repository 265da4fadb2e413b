// What the simulated camera can deliver: for a full 752 x 480 frame at the
// given exposure and depth, programmed through the library's exports as the
// tool does, the model's exposure and transfer times, the frame period they
// make and the frame's bytes on the wire with their USB 2.0 bus time. One
// frame is also read on a virtual clock to confirm the period.
//
//   frame_period EXPOSURE_MS BITS
//
// Prints one line of name=value pairs.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "exports/default_camera.h"
#include "sim/sim_camera.h"
#include "tarncam/tarncam.h"

namespace {

constexpr double kBusBytesPerSecond = 53.248e6;  // USB 2.0 bulk, as the camera sustains it

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: frame_period EXPOSURE_MS BITS\n");
    return 2;
  }
  const auto exposureMs = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const auto bits = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  sim::VirtualClock clock;
  sim::SimCamera camera(sim::DefaultOptions(), clock);
  sim::SimSystem system(clock);
  tarncam::UsePlatform(&camera, &system);
  if (::openUSB(0) != 1) {
    std::fprintf(stderr, "frame_period: the simulated camera did not open\n");
    return 1;
  }
  ::Subframe(752, 480);
  ::DynamicRange(bits);
  ::ProgramCamera(exposureMs, 50, 0, 0);
  const sim::SensorSettings s = camera.Sensor();
  std::vector<uint8_t> frame(2 * 752 * 480);
  const uint64_t before = clock.NowUs();
  ::Exposure(frame.data());
  const uint64_t read = clock.NowUs() - before;
  ::closeUSB();
  tarncam::UsePlatform(nullptr, nullptr);
  const double periodUs = static_cast<double>(s.ExposureUs() + s.TransferUs());
  std::printf(
      "exposure_us=%llu transfer_us=%llu period_us=%.0f frames_per_s=%.3f virtual_read_us=%llu "
      "frame_bytes=%llu bus_us=%.1f\n",
      static_cast<unsigned long long>(s.ExposureUs()),
      static_cast<unsigned long long>(s.TransferUs()), periodUs, 1e6 / periodUs,
      static_cast<unsigned long long>(read), static_cast<unsigned long long>(s.FrameBytes()),
      static_cast<double>(s.FrameBytes()) / kBusBytesPerSecond * 1e6);
  return 0;
}
