// The camera API's C functions: argument checks, then the handle's members
// (api/camera.h) or the registry (api/registry.h). Every function that
// returns a status records it for tarncam_last_error.

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "api/camera.h"
#include "api/internal.h"
#include "api/registry.h"
#include "api/settings.h"
#include "api/status.h"
#include "sim/sim_device.h"
#include "tarncam/tarncam_camera.h"

using namespace tarncam;
using namespace tarncam::api;

namespace {

tarncam_status Invalid(const char* what) {
  return Report(TARNCAM_ERR_INVALID_ARGUMENT, 0, "%s", what);
}

tarncam_status OpenTarget(Target target, bool ownsSim, tarncam_camera** camera) {
  std::unique_ptr<tarncam_camera> cam;
  const tarncam_status s = tarncam_camera::Open(std::move(target), ownsSim, &cam);
  if (s == TARNCAM_OK) *camera = cam.release();
  return s;
}

// The simulator's options as the caller's header knew them.
tarncam_status SimOptions(const tarncam_sim_options* options, sim::Options* out) {
  if (options == nullptr || options->struct_size < sim::kFirstOptionsSize) {
    return Invalid("simulator options");
  }
  if (!sim::OptionsFromCaller(options, out)) {
    return Report(TARNCAM_ERR_OUT_OF_RANGE, 0, "simulator options");
  }
  return TARNCAM_OK;
}

}  // namespace

namespace tarncam::api {

tarncam_status OpenOnPlatform(Platform platform, const char* path, const char* id,
                              tarncam_camera** camera) {
  if (path == nullptr || id == nullptr || camera == nullptr) return Invalid("open");
  Target t;
  t.id = id;
  t.platform = platform;
  t.path = path;
  return OpenTarget(std::move(t), false, camera);
}

}  // namespace tarncam::api

extern "C" {

// ---------------------------------------------------------------------------
// Cameras

tarncam_status tarncam_list_cameras(tarncam_camera_info* infos, uint32_t capacity,
                                    uint32_t* count) {
  if (count == nullptr) return Invalid("list cameras: count");
  if (capacity != 0 && (infos == nullptr || infos[0].struct_size < sizeof(tarncam_camera_info))) {
    return Invalid("list cameras: infos");
  }
  const std::vector<tarncam_camera_info> found = Registry::Instance().List(true);
  // The caller's elements may be larger (a later header): its size is the stride.
  const uint32_t stride = capacity != 0 ? infos[0].struct_size : 0;
  // Copied byte-wise: a stride that is no multiple of the structure's
  // alignment (no real array has one, but nothing refuses it) leaves the
  // later elements misaligned.
  for (uint32_t i = 0; i < capacity && i < found.size(); ++i) {
    tarncam_camera_info element = found[i];
    element.struct_size = stride;
    std::memcpy(reinterpret_cast<char*>(infos) + size_t{i} * stride, &element, sizeof element);
  }
  *count = static_cast<uint32_t>(found.size());
  return Succeeded();
}

tarncam_status tarncam_open_index(uint32_t index, tarncam_camera** camera) {
  if (camera == nullptr) return Invalid("open: camera");
  const std::vector<tarncam_camera_info> found = Registry::Instance().List(false);
  if (index >= found.size()) {
    return Report(TARNCAM_ERR_NO_DEVICE, 0, "open index %u: %zu cameras present", index,
                  found.size());
  }
  return tarncam_open_id(found[index].id, camera);
}

tarncam_status tarncam_open_id(const char* id, tarncam_camera** camera) {
  if (id == nullptr || id[0] == '\0' || camera == nullptr) return Invalid("open: id");
  if (std::strlen(id) >= TARNCAM_ID_SIZE) return Invalid("open: id too long");
  Target t;
  if (!Registry::Instance().Resolve(id, &t)) {
    return Report(TARNCAM_ERR_NO_DEVICE, 0, "open %s: no such simulated camera", id);
  }
  return OpenTarget(std::move(t), false, camera);
}

tarncam_status tarncam_close(tarncam_camera* camera) {
  if (camera == nullptr) return Invalid("close");
  const tarncam_status s = camera->Close();
  if (s == TARNCAM_OK) delete camera;
  return s;
}

tarncam_status tarncam_get_info(tarncam_camera* camera, tarncam_camera_info* info) {
  if (camera == nullptr) return Invalid("get info");
  // Counted like every other call, so that a close waits for it before the
  // handle is freed.
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "get info");
  if (!FillVersioned(info, camera->Info())) return Invalid("get info");
  if (camera->Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "get info");
  return Succeeded();
}

// ---------------------------------------------------------------------------
// Simulated cameras

tarncam_status tarncam_sim_add(const tarncam_sim_options* options, char* id, size_t id_size) {
  // "sim:" and a counter: far below the size of any sensible buffer.
  if (id == nullptr || id_size < 32) return Invalid("add simulated camera: id");
  sim::Options o;
  if (const tarncam_status s = SimOptions(options, &o); s != TARNCAM_OK) return s;
  const auto entry = Registry::Instance().AddSim(o, true);
  std::snprintf(id, id_size, "%s", entry->id.c_str());
  return Succeeded();
}

tarncam_status tarncam_sim_remove(const char* id) {
  if (id == nullptr) return Invalid("remove simulated camera");
  if (!Registry::Instance().RemoveSim(id)) {
    return Report(TARNCAM_ERR_NO_DEVICE, 0, "remove %s: no such simulated camera", id);
  }
  return Succeeded();
}

tarncam_status tarncam_sim_set_connected(const char* id, int connected) {
  if (id == nullptr) return Invalid("connect simulated camera");
  const auto entry = Registry::Instance().FindSim(id);
  if (!entry) return Report(TARNCAM_ERR_NO_DEVICE, 0, "%s: no such simulated camera", id);
  entry->device->camera().SetPresent(connected != 0);
  return Succeeded();
}

tarncam_status tarncam_sim_camera_stats(const char* id, tarncam_sim_stats* stats) {
  if (id == nullptr || stats == nullptr) return Invalid("simulated camera stats");
  const auto entry = Registry::Instance().FindSim(id);
  if (!entry) return Report(TARNCAM_ERR_NO_DEVICE, 0, "%s: no such simulated camera", id);
  *stats = entry->device->camera().Stats();
  return Succeeded();
}

tarncam_status tarncam_open_simulated(const tarncam_sim_options* options, tarncam_camera** camera) {
  if (camera == nullptr) return Invalid("open simulated camera: camera");
  sim::Options o;
  if (const tarncam_status s = SimOptions(options, &o); s != TARNCAM_OK) return s;
  Registry& registry = Registry::Instance();
  const auto entry = registry.AddSim(o, false);
  Target t;
  registry.Resolve(entry->id, &t);
  const tarncam_status s = OpenTarget(std::move(t), true, camera);
  if (s != TARNCAM_OK) registry.RemoveSim(entry->id);
  return s;
}

// ---------------------------------------------------------------------------
// Settings

tarncam_status tarncam_control_range(tarncam_control control, int64_t* min, int64_t* max,
                                     int64_t* default_value) {
  const ControlRange* r = RangeOf(control);
  if (r == nullptr) return Invalid("control range: no such control");
  if (min != nullptr) *min = r->min;
  if (max != nullptr) *max = r->max;
  if (default_value != nullptr) *default_value = r->defaultValue;
  return Succeeded();
}

tarncam_status tarncam_set_control(tarncam_camera* camera, tarncam_control control, int64_t value) {
  if (camera == nullptr) return Invalid("set control");
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "set control");
  return camera->SetControl(control, value);
}

tarncam_status tarncam_get_control(tarncam_camera* camera, tarncam_control control,
                                   int64_t* value) {
  if (camera == nullptr || value == nullptr || RangeOf(control) == nullptr) {
    return Invalid("get control");
  }
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "get control");
  *value = camera->GetControl(control);
  if (camera->Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "get control");
  return Succeeded();
}

tarncam_status tarncam_set_window(tarncam_camera* camera, uint32_t width, uint32_t height) {
  if (camera == nullptr) return Invalid("set window");
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "set window");
  return camera->SetWindow(width, height);
}

tarncam_status tarncam_get_window(tarncam_camera* camera, tarncam_window* window) {
  if (camera == nullptr) return Invalid("get window");
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "get window");
  if (!FillVersioned(window, camera->Window())) return Invalid("get window");
  if (camera->Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "get window");
  return Succeeded();
}

// ---------------------------------------------------------------------------
// Exposures

tarncam_status tarncam_start_exposure(tarncam_camera* camera, void* buffer, size_t buffer_size,
                                      tarncam_frame_callback callback, void* user_data) {
  if (camera == nullptr || buffer == nullptr) return Invalid("start exposure");
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "start exposure");
  return camera->Start(buffer, buffer_size, callback, user_data);
}

tarncam_status tarncam_wait_frame(tarncam_camera* camera, uint32_t timeout_ms,
                                  tarncam_frame_record* record) {
  if (camera == nullptr) return Invalid("wait");
  if (record != nullptr && record->struct_size < sizeof *record) return Invalid("wait: record");
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "wait");
  return camera->Wait(timeout_ms, record);
}

tarncam_status tarncam_cancel_exposure(tarncam_camera* camera) {
  if (camera == nullptr) return Invalid("cancel");
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "cancel");
  return camera->Cancel();
}

// ---------------------------------------------------------------------------
// Guide port

tarncam_status tarncam_guide_pulse(tarncam_camera* camera, uint32_t directions, int32_t x_ms,
                                   int32_t y_ms) {
  if (camera == nullptr) return Invalid("guide pulse");
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "guide pulse");
  return camera->GuidePulse(directions, x_ms, y_ms);
}

tarncam_status tarncam_guide_stop(tarncam_camera* camera, uint32_t axes) {
  if (camera == nullptr) return Invalid("guide stop");
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "guide stop");
  return camera->GuideStop(axes);
}

tarncam_status tarncam_guide_get_state(tarncam_camera* camera, tarncam_guide_state* state) {
  if (camera == nullptr) return Invalid("guide state");
  tarncam_camera::Call call(*camera);
  if (!call) return Report(TARNCAM_ERR_CLOSED, 0, "guide state");
  if (!FillVersioned(state, camera->GuideState())) return Invalid("guide state");
  if (camera->Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "guide state");
  return Succeeded();
}

}  // extern "C"
