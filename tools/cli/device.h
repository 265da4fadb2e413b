#pragma once
// Choosing and opening the camera through the library's camera API: the
// first camera present, or (when there is none, or when asked) a simulated
// one. One Device per run; it closes the camera when it goes away, which
// ends and joins any exposure still running.

#include <cstdint>
#include <string>

#include "cli/options.h"
#include "cli/status.h"
#include "tarncam/tarncam_camera.h"

namespace tarncli {

class Device {
 public:
  Device() = default;
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Picks the camera and opens it. Fails with kNoCamera, kWrongFirmware
  // (firmwareVersion() then holds the camera's reply), kBadArguments for
  // simulator options the simulator refuses, or kFailure.
  Status Open(const DeviceOptions& options);
  void Close();

  tarncam_camera* camera() const { return camera_; }
  bool simulated() const { return simulated_; }
  // A colour camera by its identification word, or because the user said so.
  bool colour() const { return colour_; }
  uint32_t firmwareVersion() const { return info_.firmware_version; }
  uint32_t identification() const { return info_.identification; }
  std::string id() const { return info_.id; }
  std::string instrument() const { return simulated_ ? "tarncam simulator" : "tarncam"; }

 private:
  tarncam_camera* camera_ = nullptr;
  bool simulated_ = false;
  bool colour_ = false;
  tarncam_camera_info info_{};
};

// The library's words for the last failed call on this thread, for messages.
std::string LastError();

}  // namespace tarncli
