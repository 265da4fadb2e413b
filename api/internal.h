#pragma once
// What the library's own tests use beyond the C functions: a camera handle
// opened on any platform (a scripted fake, or a simulated camera on a
// virtual clock the test holds), driven from then on through the C API.

#include "core/camera_state.h"
#include "tarncam/tarncam_camera.h"

namespace tarncam::api {

// Opens the camera at `path` on `platform` as tarncam_open_id would, under
// the identifier `id`. The platform must outlive the handle.
tarncam_status OpenOnPlatform(Platform platform, const char* path, const char* id,
                              tarncam_camera** camera);

}  // namespace tarncam::api
