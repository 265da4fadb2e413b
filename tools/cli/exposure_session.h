#pragma once
// Exposures through the library's camera API: set the window, depth and
// flips, start an exposure into our buffer, and wait for its record while
// showing progress and watching for Ctrl-C, which cancels the exposure (the
// library returns once nothing writes into the buffer any more).

#include <chrono>
#include <cstdint>
#include <string>

#include "cli/device.h"
#include "cli/frame.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/status.h"

namespace tarncli {

// The bulk reads one frame took, by its record.
struct ReadCounts {
  uint32_t attempted = 0;
  uint32_t failed = 0;
};

class ExposureSession {
 public:
  ExposureSession(Device& device, const ExposureSettings& settings);

  // Gives the camera the settings; they reach it with the first exposure
  // (the sensor then takes 500 ms to settle, once).
  Status Program();

  // Takes one exposure. On success `frame` holds the delivered samples and
  // their description, and `reads` what the library's reads took. Fails
  // with kInterrupted after Ctrl-C, or kFailure when the camera delivered no
  // whole frame.
  Status Expose(Progress& progress, const char* label, Frame* frame, ReadCounts* reads);

 private:
  Device& device_;
  ExposureSettings settings_;
  std::vector<uint8_t> buffer_;
};

// "2026-12-08T23:17:28.123": UTC with milliseconds, as FITS DATE-OBS wants.
std::string UtcTimestamp(std::chrono::system_clock::time_point t);

}  // namespace tarncli
