#pragma once
// A simulated camera together with the clock and system services it runs
// on: the real clock with the library's own services, or (options'
// virtual_time) a virtual clock with SimSystem, so that the camera and the
// library's waits for it take no real time. What the C interfaces hand out.

#include <cstddef>
#include <memory>

#include "platform/system_services.h"
#include "sim/sim_camera.h"
#include "tarncam/tarncam_sim.h"

namespace sim {

// The options as the first version of the header laid them out: callers
// built against it pass this size, and later fields keep their defaults.
inline constexpr size_t kFirstOptionsSize =
    offsetof(tarncam_sim_options, replug_ms) + sizeof(uint32_t);

// Copies a caller's options: the fields its struct_size covers, later ones
// keeping their defaults. False when the size is below the first version's
// or the values cannot be simulated.
bool OptionsFromCaller(const tarncam_sim_options* in, Options* out);

class SimDevice {
 public:
  // `realSystem`: the services to use on the real clock.
  SimDevice(const Options& options, tarncam::SystemServices* realSystem);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  SimCamera& camera() { return *cam; }
  tarncam::SystemServices& system() { return *sys; }

 private:
  std::unique_ptr<Clock> clock;
  std::unique_ptr<SimSystem> simSystem;  // virtual time only
  std::unique_ptr<SimCamera> cam;
  tarncam::SystemServices* sys;
};

}  // namespace sim
