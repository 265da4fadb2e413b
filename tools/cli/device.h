#pragma once
// Choosing and opening the camera: the real one when it answers, otherwise
// (or when asked) the library's built-in simulator. One Device per run; it
// closes the camera, and detaches the simulator, when it goes away.

#include <cstdint>
#include <string>

#include "cli/options.h"
#include "cli/status.h"

namespace tarncli {

// The firmware version this library drives (reply to query 99).
inline constexpr uint32_t kExpectedFirmware = 0x0132901D;

// Hands the USB identity and camera choice to the library: the flags
// (--usb-id, --device) where given, else the environment's. Fails with
// kBadArguments for text the library cannot parse. *chosen receives the
// camera asked for ("1-2.3", "serial:..."), "" when none was.
Status ApplyUsbChoice(const DeviceOptions& options, std::string* chosen);

class Device {
 public:
  Device() = default;
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Picks the camera and opens it: a USB camera when one is plugged in,
  // else the simulator. Fails with kNoCamera, kWrongFirmware
  // (firmwareVersion() then holds the reply), kUnavailable (a camera that
  // cannot be opened: permissions, or another program has it), kFailure,
  // or kBadArguments for options that do not parse or that the simulator
  // refuses.
  Status Open(const DeviceOptions& options);

  // Closes the camera. Only when no exposure can still write into a buffer
  // of ours; AbandonAndExit (exposure_session.h) is the way out otherwise.
  void Close();

  bool simulated() const { return simulated_; }
  bool colour() const { return colour_; }
  uint32_t firmwareVersion() const { return firmwareVersion_; }
  uint32_t identification() const { return identification_; }
  std::string devicePath() const { return devicePath_; }
  std::string instrument() const { return simulated_ ? "tarncam simulator" : "tarncam"; }

 private:
  Status AttachSimulator(const DeviceOptions& options);

  bool open_ = false;
  bool simulated_ = false;
  bool colour_ = false;
  uint32_t firmwareVersion_ = 0;
  uint32_t identification_ = 0;
  std::string devicePath_;
};

}  // namespace tarncli
