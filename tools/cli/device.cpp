#include "cli/device.h"

#include <cstdio>
#include <cstdlib>

#include "tarncam/tarncam.h"
#include "tarncam/tarncam_native.h"
#include "tarncam/tarncam_sim.h"

namespace tarncli {
namespace {

// DEBUG's reply when no device is open.
constexpr uint32_t kNoDeviceReply = 0xFFFFFFFFu;
constexpr uint32_t kFirmwareQuery = 99;

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

// "the camera at 1-2 (f0ca:0752)", from the list entry of the device the
// library last tried; just "the camera" when it has gone meanwhile.
std::string CameraAt(const std::string& path) {
  tarncam_usb_device found[16];
  const uint32_t n = tarncam_usb_list(found, 16);
  for (uint32_t i = 0; i < n && i < 16; ++i) {
    if (path != found[i].path) continue;
    char text[128];
    std::snprintf(text, sizeof text, "the camera at %s (%04x:%04x)", found[i].location,
                  found[i].vendor_id, found[i].product_id);
    return text;
  }
  return "the camera";
}

// Why openUSB opened no USB camera, in the user's terms; Ok when it did
// open one (and refused its firmware, or lost it again).
Status OpenFailure(const std::string& chosen) {
  int32_t osError = 0;
  const int why = tarncam_usb_open_status(&osError);
  const std::string camera = CameraAt(tarncam_device_path());
  switch (why) {
    case TARNCAM_USB_NO_ACCESS:
      return Status::Error(ExitCode::kUnavailable,
                           camera + " cannot be opened: permission denied. Install the udev rule "
                                    "60-tarncam.rules (see docs/usb.md), then unplug and replug "
                                    "the camera");
    case TARNCAM_USB_BUSY:
      return Status::Error(ExitCode::kUnavailable, camera + " is in use by another program");
    case TARNCAM_USB_NOT_FOUND:
      return Status::Error(ExitCode::kNoCamera,
                           chosen.empty() ? "no camera found"
                                          : "no camera matches '" + chosen +
                                                "' (see `tarncam list`)");
    case TARNCAM_USB_FAILED:
      return Status::Error(ExitCode::kFailure, camera + " could not be opened (error " +
                                                   std::to_string(osError) + ")");
    default:
      return Status::Ok();
  }
}

}  // namespace

Status ApplyUsbChoice(const DeviceOptions& o, std::string* chosen) {
  // The library read the environment itself; it is handed over again only
  // to have it checked, since the library ignores what it cannot parse.
  const char* envIds = std::getenv("TARNCAM_USB_IDS");
  const char* envDevice = std::getenv("TARNCAM_DEVICE");
  const std::string ids = !o.usbIds.empty() ? o.usbIds : envIds != nullptr ? envIds : "";
  const std::string device = !o.device.empty() ? o.device : envDevice != nullptr ? envDevice : "";
  if (tarncam_usb_select(ids.c_str(), nullptr) != 0) {
    return Status::Error(ExitCode::kBadArguments,
                         std::string(o.usbIds.empty() ? "TARNCAM_USB_IDS" : "--usb-id") +
                             ": expected vvvv:pppp[,vvvv:pppp] in hex, not '" + ids + "'");
  }
  if (tarncam_usb_select(nullptr, device.c_str()) != 0) {
    return Status::Error(ExitCode::kBadArguments,
                         std::string(o.device.empty() ? "TARNCAM_DEVICE" : "--device") +
                             ": expected BUS-PORT (such as 1-2.3) or serial:NUMBER, not '" +
                             device + "'");
  }
  *chosen = device;
  return Status::Ok();
}

Device::~Device() { Close(); }

Status Device::AttachSimulator(const DeviceOptions& o) {
  tarncam_sim_options sim;
  tarncam_sim_default_options(&sim);
  sim.colour = o.simColour ? 1 : 0;
  if (o.simScene == "stars") {
    sim.scene = TARNCAM_SIM_SCENE_STARS;
  } else if (o.simScene == "test-pattern") {
    sim.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
  } else {
    return Status::Error(ExitCode::kBadArguments, "--sim-scene: stars or test-pattern");
  }
  sim.seed = o.simSeed;
  sim.present = o.simAbsent ? 0 : 1;
  sim.blank_controller = o.simBlank ? 1 : 0;
  if (o.simFirmwareVersion) sim.firmware_version = *o.simFirmwareVersion;
  if (o.simFailReads != 0) {
    sim.fail_read_number = 1;
    sim.fail_read_count = o.simFailReads;
  }
  if (o.simTimeoutReads) sim.read_timeout_probability = 1.0;
  if (tarncam_sim_attach(&sim) != 0) {
    return Status::Error(ExitCode::kBadArguments, "the simulator refused its options");
  }
  simulated_ = true;
  return Status::Ok();
}

Status Device::Open(const DeviceOptions& o) {
  Close();
  // A USB camera plugged in is used, even when it cannot be opened (the user
  // should hear why); without one the simulator stands in, unless a
  // particular camera was asked for.
  std::string chosen;
  if (o.forceSimulator) {
    if (Status s = AttachSimulator(o); !s.ok()) return s;
  } else if (Status s = ApplyUsbChoice(o, &chosen); !s.ok()) {
    return s;
  } else if (tarncam_usb_list(nullptr, 0) == 0) {
    if (!chosen.empty()) return Status::Error(ExitCode::kNoCamera, "no camera found");
    std::fprintf(stderr, "no camera found; using the built-in simulator\n");
    if (Status s2 = AttachSimulator(o); !s2.ok()) return s2;
  } else if (o.simOptionsGiven) {
    std::fprintf(stderr, "a camera is connected; the --sim-... options need --simulator\n");
  }

  // openUSB closes any earlier use, loads firmware into a blank controller
  // and checks the version; the device stays open until Close().
  if (openUSB(0) == 1) {
    open_ = true;
    firmwareVersion_ = DEBUG(kFirmwareQuery);
    identification_ = GetVIDPID();
    devicePath_ = tarncam_device_path();
    // The identification word's colour bit is the simulated camera's
    // convention; for a real camera only the user can tell.
    colour_ = simulated_ ? (identification_ & TARNCAM_SIM_ID_COLOUR_BIT) != 0 : o.colour;
    return Status::Ok();
  }

  // openUSB says no for a missing camera and for wrong firmware alike; the
  // library's open status tells the reasons before the firmware check...
  if (!simulated_) {
    if (Status s = OpenFailure(chosen); !s.ok()) return s;
  }
  // ...and opening the device without the version check tells the rest.
  OpenDevice();
  const uint32_t version = DEBUG(kFirmwareQuery);
  devicePath_ = tarncam_device_path();
  closeUSB();
  // No device: the reply of DEBUG with nothing open. A camera that does not
  // answer the query replies with the query code itself, and counts as
  // wrong firmware: it is there, but not one this library can drive.
  if (version == kNoDeviceReply) {
    return Status::Error(
        ExitCode::kNoCamera,
        simulated_ ? "no camera found (the simulated camera is unplugged)" : "no camera found");
  }
  firmwareVersion_ = version;
  return Status::Error(ExitCode::kWrongFirmware,
                       "the camera runs firmware version " + Hex(version) + " (" +
                           std::to_string(version) + "); this library drives " +
                           Hex(kExpectedFirmware) + " (" + std::to_string(kExpectedFirmware) + ")");
}

void Device::Close() {
  if (open_) closeUSB();
  open_ = false;
  // Detaching needs an idle library; an exposure that could still be running
  // never reaches here (the tool exits without unwinding instead).
  if (simulated_ && isExposing() == 0) tarncam_sim_detach();
  simulated_ = false;
}

}  // namespace tarncli
