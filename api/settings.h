#pragma once
// The camera API's settings: the controls with their ranges, the window
// rules, and what a set of settings means for the core and for a frame.

#include <cstdint>

#include "core/camera_state.h"
#include "sensor/geometry.h"
#include "tarncam/tarncam_camera.h"

namespace tarncam::api {

struct ControlRange {
  int64_t min;
  int64_t max;
  int64_t defaultValue;
};

// Null for a control that does not exist.
const ControlRange* RangeOf(int control);

inline constexpr uint32_t kMaxExposureMs = 3'600'000;

// What one handle is set to; each exposure takes a copy when it starts.
struct Settings {
  int64_t controls[TARNCAM_CONTROL_COUNT];
  uint32_t width = kSensorWidth;
  uint32_t height = kSensorHeight;

  Settings();
  int64_t Get(tarncam_control c) const { return controls[c]; }
  uint32_t BytesPerSample() const { return Get(TARNCAM_CONTROL_BIT_DEPTH) == 10 ? 2 : 1; }
  uint64_t FrameBytes() const { return uint64_t{width} * height * BytesPerSample(); }
  WindowPlacement Placement() const;
};

// Whether `value` is one the control takes.
bool InRange(tarncam_control control, int64_t value);

// Whether the camera can read a window of width x height: the public rule,
// tarncam_window_max_width.
bool WindowFits(uint32_t width, uint32_t height);

// Stores the settings into the core's record, as the setters of the
// exported interface would, ready for ProgramSensor.
void ApplyToCore(const Settings& settings, CameraState& s);

// Describes the window of `settings` on a camera of the given colour.
tarncam_window DescribeWindow(const Settings& settings, bool colour);

}  // namespace tarncam::api
