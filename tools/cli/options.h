#pragma once
// The tool's settings as plain values, filled by the command-line parser in
// main.cpp, and the parsing and checking of the values that have a syntax of
// their own. Nothing here touches the camera.

#include <cstdint>
#include <optional>
#include <string>

#include "cli/status.h"
#include "tarncam/tarncam_camera.h"

namespace tarncli {

inline constexpr uint32_t kSensorWidth = TARNCAM_SENSOR_WIDTH;
inline constexpr uint32_t kSensorHeight = TARNCAM_SENSOR_HEIGHT;

// Which camera to use, and how to build the simulated one.
struct DeviceOptions {
  // A USB camera: the IDs to look for instead of the build's, and which of
  // several to use (empty: the environment's choice, else the first).
  std::string usbIds;
  std::string device;
  bool forceSimulator = false;
  bool colour = false;  // a real camera's mosaic is unknown unless the user says so
  // Simulator knobs.
  bool simColour = false;
  std::string simScene = "stars";  // "stars" or "test-pattern"
  uint64_t simSeed = 1;
  bool simBlank = false;
  bool simAbsent = false;
  std::optional<uint32_t> simFirmwareVersion;
  uint32_t simFailReads = 0;     // the first this many bulk reads fail
  bool simTimeoutReads = false;  // every bulk read runs into its timeout
  bool simOptionsGiven = false;  // any of the above was on the command line
};

struct Window {
  uint32_t width = kSensorWidth;
  uint32_t height = kSensorHeight;
};

// What one exposure is programmed with.
struct ExposureSettings {
  uint32_t exposureMs = 100;
  uint32_t gain = 50;
  Window window;
  uint32_t bits = 8;  // 8 or 10
  bool flipHorizontal = false;
  bool flipVertical = false;
};

enum class OutputFormat { kFits, kPng, kBoth };

struct CaptureOptions {
  ExposureSettings exposure;
  uint32_t count = 1;
  uint32_t intervalMs = 0;         // start-to-start spacing of frames; 0 back to back
  std::string output = "capture";  // path prefix; ".fits"/".png" are appended
  OutputFormat format = OutputFormat::kBoth;
  bool demosaic = false;
  bool quiet = false;
};

struct StreamOptions {
  ExposureSettings exposure;
  uint32_t count = 10;
  bool perFrame = false;
};

struct GuideOptions {
  // Durations in milliseconds; -1 pulses until cancelled; absent is 0.
  std::optional<int32_t> east, west, north, south;
  std::optional<uint32_t> directionBits;  // raw direction word, with --x/--y
  std::optional<int32_t> x, y;
  std::string cancel;  // "", "x", "y" or "both"
  bool wait = false;
};

// "WxH" with decimal W and H, each within the sensor (1..752, 1..480).
Status ParseWindow(const std::string& text, Window* window);

// Checks the combination of exposure settings beyond each value's own range:
// rows shorter than the full height carry only 616 active columns.
Status CheckExposureSettings(const ExposureSettings& settings);

// The output name as the frames' file names grow from it: the prefix the
// frame numbers follow, and each format's extension. A known extension on
// the name is that file's own ("m42.fits" writes m42.fits, not
// m42.fits.fits; "m42.fit" keeps .fit), and the other format gets its
// usual one beside it.
struct OutputName {
  std::string prefix;
  std::string fits = ".fits";
  std::string png = ".png";
};
OutputName SplitOutputName(const std::string& output);

// File name of frame `index` (0-based) of `count` for `extension` (".fits").
// One frame: prefix + extension; more: prefix-0001 + extension, and so on.
std::string FramePath(const std::string& prefix, uint32_t index, uint32_t count,
                      const std::string& extension);

// The direction word and the two durations of a guide command.
struct GuidePulse {
  uint32_t direction = 0;
  int32_t xMs = 0;
  int32_t yMs = 0;
};
Status BuildGuidePulse(const GuideOptions& options, GuidePulse* pulse);

}  // namespace tarncli
