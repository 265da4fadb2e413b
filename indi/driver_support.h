#pragma once
// The INDI driver's rules that need no INDI and no camera: the simulator's
// options from a line of text, fitting a requested subframe to the windows
// the camera can read, and the map from sky directions to the guide port's
// direction bits, and applying a property's settings all or none.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tarncam/tarncam_camera.h"

namespace tarnindi {

// ---------------------------------------------------------------------------
// Simulator options

// What the driver simulates: the camera's options, and how many such cameras
// (each gets its own seed, seed + i, so their star fields differ).
struct SimulatorSetup {
  tarncam_sim_options options;
  uint32_t cameras = 1;
};

// The most simulated cameras one driver adds.
constexpr uint32_t kMaxSimulatedCameras = 8;

// Parses "key=value,key=value" (the TARNCAM_SIM environment variable): the
// driver's own key cameras=N (1 to kMaxSimulatedCameras), and the
// simulator's options as tarncam_sim_parse_options reads them. Returns false
// and says why in *error for an unknown key, a malformed value or options
// out of range.
bool ParseSimulatorSetup(const std::string& text, SimulatorSetup* setup, std::string* error);

// ---------------------------------------------------------------------------
// Subframes

// The sensor, and the widest window shorter than the full height: such a
// window reads rows of the sensor's centre columns only.
constexpr uint32_t kSensorWidth = TARNCAM_SENSOR_WIDTH;
constexpr uint32_t kSensorHeight = TARNCAM_SENSOR_HEIGHT;
constexpr uint32_t kWindowedRowWidth = TARNCAM_WINDOWED_ROW_WIDTH;

// A requested frame size fitted to what the camera reads: each side is
// limited to the sensor, and the width to the widest window of that height
// (tarncam_window_max_width). `refused` when a side is below one pixel (nothing
// sensible to fit it to); otherwise `narrowed` says the width was limited
// because of the height, and `clipped` that a side exceeded the sensor.
struct FittedSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool refused = false;
  bool narrowed = false;
  bool clipped = false;
};

FittedSize FitWindowSize(double width, double height);

// ---------------------------------------------------------------------------
// Guide port

// How sky directions reach the port. By default right ascension drives the
// camera's X axis and declination its Y axis, east (RA+) and north (DEC+)
// on the plus bits; the camera's own wiring of bits to relay lines is set by
// its firmware, so a user may swap the axes or reverse either.
struct GuideMapping {
  bool swapAxes = false;
  bool reverseRa = false;
  bool reverseDec = false;
};

enum class SkyAxis { kRa, kDec };

// The direction bit (TARNCAM_GUIDE_*) for a pulse on `axis`, towards its plus
// direction (east, north) when `plus`; `onX` tells whether that bit belongs
// to the camera's X axis.
struct PortPulse {
  uint32_t direction = 0;
  bool onX = false;
};

PortPulse MapGuidePulse(SkyAxis axis, bool plus, const GuideMapping& mapping);

// ---------------------------------------------------------------------------
// Settings of several controls at once

// One element of a property that a client changed: the camera's control,
// the value the camera has now and the one asked for.
struct ControlChange {
  tarncam_control control;
  int64_t from;
  int64_t to;
  const char* what;  // for messages: "digital gain"
};

// Applies a property's changes all or none, so that the camera, the
// property and the saved configuration never disagree: every value is first
// checked against its control's range (one out of range refuses the lot,
// and nothing is set); then each is set through `set`, and when one is
// refused, those already set are set back to their `from`. Returns true when
// all were set; otherwise says why in *error and, through *status, what the
// refusing call returned (TARNCAM_ERR_OUT_OF_RANGE for a value out of
// range).
bool ApplyAllOrNone(const std::vector<ControlChange>& changes,
                    const std::function<tarncam_status(tarncam_control, int64_t)>& set,
                    std::string* error, tarncam_status* status);

// "2026-01-01T00:00:00.123": UTC with milliseconds, as FITS DATE-OBS takes
// it, from nanoseconds since 1970.
std::string FitsTimestamp(int64_t utcNs);

}  // namespace tarnindi
