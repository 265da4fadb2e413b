#pragma once
// What the camera API knows process-wide: the simulated cameras by id, which
// cameras are open through a handle, and the list of cameras present.

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/camera_state.h"
#include "sim/sim_device.h"
#include "tarncam/tarncam_camera.h"

namespace tarncam::api {

inline constexpr const char* kSimIdPrefix = "sim:";

// A simulated camera with the id the API gave it.
struct SimEntry {
  std::string id;
  std::unique_ptr<sim::SimDevice> device;
  bool listed = false;  // added by tarncam_sim_add (not tarncam_open_simulated)
};

// Where an open goes: the platform, the device path on it, and for a
// simulated camera the entry that keeps it alive while a handle uses it.
struct Target {
  std::string id;
  Platform platform{};
  std::string path;
  std::shared_ptr<SimEntry> sim;
};

class Registry {
 public:
  static Registry& Instance();

  // A new simulated camera, given the next "sim:N". Listed ones appear in
  // List; every one can be found by id until removed.
  std::shared_ptr<SimEntry> AddSim(const sim::Options& options, bool listed);
  // Forgets a simulated camera and unplugs it (handles open on it keep it
  // alive, dead). False when there is none with that id.
  bool RemoveSim(const std::string& id);
  std::shared_ptr<SimEntry> FindSim(const std::string& id);

  // Marks `id` open through a handle; false when it already is. Returns
  // once no listing is probing `id` any more: the probe holds the device's
  // interface, which an open would find claimed (kBusy).
  bool ClaimOpen(const std::string& id);
  // What List reports for an open camera.
  void PublishOpen(const std::string& id, const tarncam_camera_info& info);
  void ReleaseOpen(const std::string& id);

  // The cameras present, USB ones first in the backend's order, then the
  // listed simulated ones. With `probe`, programmed cameras not open here are
  // opened briefly for their identification word.
  std::vector<tarncam_camera_info> List(bool probe);

  // Where the camera `id` is reached; false for an unknown simulated id.
  bool Resolve(const std::string& id, Target* target);

 private:
  std::mutex mu;
  uint32_t nextSim = 1;
  std::vector<std::shared_ptr<SimEntry>> sims;  // in the order added
  std::set<std::string> open;
  std::multiset<std::string> probing;  // ids a listing has opened briefly
  std::condition_variable probed;      // an id left `probing`
  std::map<std::string, tarncam_camera_info> openInfo;
};

}  // namespace tarncam::api
