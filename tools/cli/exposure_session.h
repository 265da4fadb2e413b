#pragma once
// Exposures through the library's exports, as any client takes them: set
// the window, depth and flips, program the camera, start a threaded
// exposure into our buffer and poll until the readout has ended. Every wait
// is bounded, and Ctrl-C cancels the exposure and releases the camera.

#include <chrono>
#include <cstdint>
#include <memory>

#include "cli/device.h"
#include "cli/frame.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/status.h"

namespace tarncli {

// The bulk reads one frame took, by the library's counters.
struct ReadCounts {
  uint32_t attempted = 0;
  uint32_t failed = 0;
};

class ExposureSession {
 public:
  ExposureSession(Device& device, const ExposureSettings& settings);
  ~ExposureSession();
  ExposureSession(const ExposureSession&) = delete;
  ExposureSession& operator=(const ExposureSession&) = delete;

  // Stores the settings and programs the camera (the library waits 500 ms
  // after each register block it sends). Call with no exposure running.
  void Program();

  // Takes one exposure. On success `frame` holds the delivered samples and
  // their description, and `reads` what the library's reads took. Fails
  // with kInterrupted after Ctrl-C, or kFailure when no read delivered the
  // frame. When the camera cannot be stopped (its readout might still write
  // into our buffer) the tool ends right there: see AbandonAndExit.
  Status Expose(Progress& progress, const char* label, Frame* frame, ReadCounts* reads);

 private:
  // Cancels the running exposure; returns once the readout has ended, or
  // ends the tool when it does not end within a bounded wait.
  void StopExposure(ExitCode code, const std::string& why);

  Device& device_;
  ExposureSettings settings_;
  size_t bufferBytes_;
  // The readout worker writes here; see ~ExposureSession for its lifetime.
  uint8_t* buffer_;
};

// Ends the process at once without unwinding: used only while a readout
// worker may still write into our buffer or be inside the library, where
// freeing the buffer or detaching the simulator would be unsafe.
[[noreturn]] void AbandonAndExit(ExitCode code, const std::string& message);

// "2026-12-08T23:17:28.123": UTC with milliseconds, as FITS DATE-OBS wants.
std::string UtcTimestamp(std::chrono::system_clock::time_point t);

}  // namespace tarncli
