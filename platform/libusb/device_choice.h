#pragma once
// What the libusb backend looks for and which device it takes: the USB IDs
// that count as the camera, the user's choice among several cameras, and the
// text forms of device locations and paths. Parsing only; nothing here
// touches USB, so the rules are tested without a device.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace tarncam {

// Environment variables the backend reads when it starts: another identity
// (a camera whose IDs differ from the build's) and a choice of camera.
inline constexpr const char* kUsbIdsVariable = "TARNCAM_USB_IDS";
inline constexpr const char* kDeviceVariable = "TARNCAM_DEVICE";

// The build's identity: the blank controller's IDs, then the camera's.
std::vector<UsbId> BuildUsbIds();

// "vvvv:pppp[,vvvv:pppp...]", hex, at most kMaxUsbIds pairs. Returns false
// for anything else and leaves *ids alone.
inline constexpr size_t kMaxUsbIds = 8;
bool ParseUsbIds(const std::string& text, std::vector<UsbId>* ids);

// Which of several cameras to use.
struct DeviceChoice {
  enum class By { kFirst, kLocation, kSerial };
  By by = By::kFirst;
  std::string value;  // a location ("1-2.3") or a serial number
};

// "" takes the first camera; "BUS-PORT[.PORT...]" (such as "1-2.3") the one
// plugged in there; "serial:TEXT", or any other text, the one with that
// serial number. Returns false for text no camera could match (an empty
// serial number, a location with a port 0) and leaves *choice alone.
bool ParseDeviceChoice(const std::string& text, DeviceChoice* choice);

// "1-2.3": bus 1, port 2 of its root hub, port 3 of the hub there; the name
// Linux gives the device in sysfs. A device on no port (a root hub) is "1".
std::string FormatLocation(uint8_t bus, const uint8_t* ports, int count);

// Device paths as Open takes them: "usb:" and the location, "usb:1-2.3".
// Where a device is plugged in, not its address (which is new at every
// enumeration): a blank controller that renumerates after its firmware
// download comes back on the same port, so the path that found it before
// finds it again, as does a camera unplugged and plugged back in there.
std::string FormatDevicePath(const std::string& location);
bool ParseDevicePath(const char* path, std::string* location);

}  // namespace tarncam
