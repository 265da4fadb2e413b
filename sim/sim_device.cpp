#include "sim/sim_device.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sim {

bool OptionsFromCaller(const tarncam_sim_options* in, Options* out) {
  if (in == nullptr || in->struct_size < kFirstOptionsSize) return false;
  Options o = DefaultOptions();
  std::memcpy(&o, in, std::min<size_t>(in->struct_size, sizeof o));
  o.struct_size = sizeof o;
  if (!ValidOptions(o)) return false;
  *out = o;
  return true;
}

SimDevice::SimDevice(const Options& options, tarncam::SystemServices* realSystem) {
  if (options.virtual_time != 0) {
    clock = std::make_unique<VirtualClock>();
    simSystem = std::make_unique<SimSystem>(*clock);
    sys = simSystem.get();
  } else {
    clock = std::make_unique<RealClock>();
    sys = realSystem;
  }
  cam = std::make_unique<SimCamera>(options, *clock);
}

SimDevice::~SimDevice() {
  // Calls still inside the camera finish before it goes; then the services
  // (once the readout workers they started have returned: a readout's last
  // step, after its frame is published, is a wake through them) and the
  // clock.
  cam->Shutdown();
  cam.reset();
  if (simSystem) simSystem->WaitForWorkers(simSystem->WorkersStarted());
  simSystem.reset();
}

}  // namespace sim
