#include "api/registry.h"

#include <algorithm>
#include <cstdio>

#include "core/builtin_platform.h"
#include "usb/device.h"

namespace tarncam::api {
namespace {

tarncam_camera_info FromDevice(const DeviceInfo& d, const std::string& id) {
  tarncam_camera_info info{};
  info.struct_size = sizeof info;
  std::snprintf(info.id, sizeof info.id, "%s", id.c_str());
  std::snprintf(info.location, sizeof info.location, "%s", d.location);
  std::snprintf(info.serial, sizeof info.serial, "%s", d.serial);
  info.vendor_id = d.vendorId;
  info.product_id = d.productId;
  info.blank = d.blank;
  info.colour = -1;
  return info;
}

// Asks the camera itself what the backend could not tell.
void Probe(tarncam_camera_info& info, const Platform& platform, const char* path,
           std::unique_ptr<CameraState>& scratch) {
  if (info.blank == 1) return;  // a blank controller answers nothing but its descriptor
  if (!scratch) scratch = std::make_unique<CameraState>();
  Platform p = platform;
  Camera cam{*scratch, p};
  const ProbeResult r = ProbeCamera(cam, path);
  if (r.vendorId != 0 || r.productId != 0) {
    info.vendor_id = r.vendorId;
    info.product_id = r.productId;
    info.blank = r.blank ? 1 : 0;
  }
  if (r.usb.ok() && !r.blank) {
    info.identification = r.identification;
    info.colour = (r.identification & TARNCAM_IDENTIFICATION_COLOUR_BIT) != 0 ? 1 : 0;
  }
}

}  // namespace

Registry& Registry::Instance() {
  static Registry registry;
  return registry;
}

std::shared_ptr<SimEntry> Registry::AddSim(const sim::Options& options, bool listed) {
  auto entry = std::make_shared<SimEntry>();
  // On the real clock the simulated camera uses the library's own services.
  entry->device = std::make_unique<sim::SimDevice>(options, BuiltinPlatform().system);
  entry->listed = listed;
  std::lock_guard<std::mutex> g(mu);
  entry->id = kSimIdPrefix + std::to_string(nextSim++);
  sims.push_back(entry);
  return entry;
}

bool Registry::RemoveSim(const std::string& id) {
  std::shared_ptr<SimEntry> entry;
  {
    std::lock_guard<std::mutex> g(mu);
    auto it = std::find_if(sims.begin(), sims.end(), [&](const auto& e) { return e->id == id; });
    if (it == sims.end()) return false;
    entry = *it;
    sims.erase(it);
  }
  entry->device->camera().SetPresent(false);
  return true;
}

std::shared_ptr<SimEntry> Registry::FindSim(const std::string& id) {
  std::lock_guard<std::mutex> g(mu);
  for (const auto& e : sims)
    if (e->id == id) return e;
  return nullptr;
}

bool Registry::ClaimOpen(const std::string& id) {
  std::unique_lock<std::mutex> g(mu);
  if (!open.insert(id).second) return false;
  // A listing that took the camera for a probe before this claim lets go
  // of it within a few control transfers; no new probe starts now.
  probed.wait(g, [&] { return probing.count(id) == 0; });
  return true;
}

void Registry::PublishOpen(const std::string& id, const tarncam_camera_info& info) {
  std::lock_guard<std::mutex> g(mu);
  openInfo[id] = info;
}

void Registry::ReleaseOpen(const std::string& id) {
  std::lock_guard<std::mutex> g(mu);
  open.erase(id);
  openInfo.erase(id);
}

bool Registry::Resolve(const std::string& id, Target* target) {
  Target t;
  t.id = id;
  if (id.rfind(kSimIdPrefix, 0) == 0) {
    t.sim = FindSim(id);
    if (!t.sim) return false;
    t.platform = {&t.sim->device->camera(), &t.sim->device->system()};
    t.path = sim::SimCamera::kPath;
  } else {
    t.platform = BuiltinPlatform();
    t.path = id;
  }
  *target = std::move(t);
  return true;
}

std::vector<tarncam_camera_info> Registry::List(bool probe) {
  std::vector<tarncam_camera_info> out;
  std::unique_ptr<CameraState> scratch;  // for probes: one record, reused

  // Looks up what an open handle published, outside the probes' I/O. A
  // camera not open is marked as being probed in the same step, so that an
  // open arriving meanwhile waits for the probe instead of meeting its
  // claim on the interface.
  auto openOne = [&](const std::string& id, tarncam_camera_info* info) {
    std::lock_guard<std::mutex> g(mu);
    auto it = openInfo.find(id);
    if (it != openInfo.end()) *info = it->second;
    const bool isOpen = open.count(id) != 0;
    if (!isOpen && probe) probing.insert(id);
    return isOpen;
  };
  // Ends the mark however the probe ends.
  struct ProbeDone {
    Registry& r;
    const std::string& id;
    ~ProbeDone() {
      {
        std::lock_guard<std::mutex> g(r.mu);
        r.probing.erase(r.probing.find(id));
      }
      r.probed.notify_all();
    }
  };

  // The build's USB backend.
  const Platform usb = BuiltinPlatform();
  std::vector<DeviceInfo> found(8);
  uint32_t n = usb.usb->ListDevices(found.data(), static_cast<uint32_t>(found.size()));
  if (n > found.size()) {
    found.resize(n);
    n = std::min<uint32_t>(n, usb.usb->ListDevices(found.data(), n));
  }
  for (uint32_t i = 0; i < n && i < found.size(); ++i) {
    tarncam_camera_info info = FromDevice(found[i], found[i].path);
    if (!openOne(found[i].path, &info) && probe) {
      const std::string id = found[i].path;
      ProbeDone done{*this, id};
      Probe(info, usb, found[i].path, scratch);
    }
    out.push_back(info);
  }

  // Then the simulated cameras added for listing, each its own device.
  std::vector<std::shared_ptr<SimEntry>> listed;
  {
    std::lock_guard<std::mutex> g(mu);
    for (const auto& e : sims)
      if (e->listed) listed.push_back(e);
  }
  for (const auto& e : listed) {
    DeviceInfo d{};
    if (e->device->camera().ListDevices(&d, 1) == 0) continue;  // unplugged
    tarncam_camera_info info = FromDevice(d, e->id);
    info.simulated = 1;
    const Platform p{&e->device->camera(), &e->device->system()};
    if (!openOne(e->id, &info) && probe) {
      ProbeDone done{*this, e->id};
      Probe(info, p, d.path, scratch);
    }
    out.push_back(info);
  }
  return out;
}

}  // namespace tarncam::api
