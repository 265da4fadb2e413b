// A reference client for the streaming figures: the same frames as
// `tarncam stream --simulator` (full 752 x 480, the default star field,
// gain 50), taken back to back through the library's exports, but waiting on
// the completion semaphore instead of polling isExposing every 10 ms. Its
// frame rate is what the library sustains when the client wakes as soon as
// a frame is in; the tool's is what the tool sustains.
//
//   semaphore_stream FRAMES EXPOSURE_MS BITS
//
// Prints "N frames in S s: R frames/s; failed reads: F of A; frames lost: L".

#include <semaphore.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tarncam/tarncam.h"
#include "tarncam/tarncam_native.h"
#include "tarncam/tarncam_sim.h"

namespace {

double NowS() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: semaphore_stream FRAMES EXPOSURE_MS BITS\n");
    return 2;
  }
  const auto frames = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const auto exposureMs = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const auto bits = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
  tarncam_sim_options o;
  tarncam_sim_default_options(&o);
  if (tarncam_sim_attach(&o) != 0 || openUSB(0) != 1) {
    std::fprintf(stderr, "semaphore_stream: the simulated camera did not open\n");
    return 1;
  }
  Subframe(752, 480);
  DynamicRange(bits);
  ProgramCamera(exposureMs, 50, 0, 0);
  sem_t done;
  sem_init(&done, 0, 0);
  ExposureSemaphore(&done);
  std::vector<uint8_t> buffer(752 * 480 * (bits == 8 ? 1 : 2));
  std::vector<uint8_t> frame(buffer.size());  // the client's copy, as the tool makes one
  uint32_t lost = 0, attempted = 0, failed = 0;
  const double start = NowS();
  for (uint32_t i = 0; i < frames; ++i) {
    uint32_t a0 = 0, f0 = 0, a1 = 0, f1 = 0;
    tarncam_read_counters(&a0, &f0);
    if (ThreadedExposure(buffer.data()) == ~uintptr_t{0}) {
      std::fprintf(stderr, "semaphore_stream: no readout started\n");
      return 1;
    }
    while (sem_wait(&done) != 0) {
    }
    tarncam_read_counters(&a1, &f1);
    attempted += a1 - a0;
    failed += f1 - f0;
    if (a1 == a0 || f1 - f0 >= a1 - a0) ++lost;
    std::copy(buffer.begin(), buffer.end(), frame.begin());
  }
  const double seconds = NowS() - start;
  ExposureSemaphore(nullptr);
  closeUSB();
  tarncam_sim_detach();
  sem_destroy(&done);
  std::printf("%u frames in %.3f s: %.2f frames/s; failed reads: %u of %u; frames lost: %u\n",
              frames - lost, seconds, (frames - lost) / seconds, failed, attempted, lost);
  return lost == 0 ? 0 : 1;
}
