#include "cli/device.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "tarncam/tarncam_native.h"

namespace tarncli {
namespace {

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

Status SimulatorOptions(const DeviceOptions& o, tarncam_sim_options* sim) {
  tarncam_sim_default_options(sim);
  sim->colour = o.simColour ? 1 : 0;
  if (o.simScene == "stars") {
    sim->scene = TARNCAM_SIM_SCENE_STARS;
  } else if (o.simScene == "test-pattern") {
    sim->scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
  } else {
    return Status::Error(ExitCode::kBadArguments, "--sim-scene: stars or test-pattern");
  }
  sim->seed = o.simSeed;
  sim->present = o.simAbsent ? 0 : 1;
  sim->blank_controller = o.simBlank ? 1 : 0;
  if (o.simFirmwareVersion) sim->firmware_version = *o.simFirmwareVersion;
  if (o.simFailReads != 0) {
    sim->fail_read_number = 1;
    sim->fail_read_count = o.simFailReads;
  }
  if (o.simTimeoutReads) sim->read_timeout_probability = 1.0;
  return Status::Ok();
}

// Whether the camera listed as `info` is the one `chosen` names: "BUS-PORT"
// (its location), "serial:NUMBER", or a bare serial number.
bool IsChosen(const tarncam_camera_info& info, const std::string& chosen) {
  constexpr std::string_view kSerial = "serial:";
  if (chosen.starts_with(kSerial)) return info.serial == chosen.substr(kSerial.size());
  return info.location == chosen || info.serial == chosen;
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

std::string LastError() {
  tarncam_error_detail d{};
  d.struct_size = sizeof d;
  tarncam_last_error(&d);
  return d.message;
}

Device::~Device() { Close(); }

Status Device::Open(const DeviceOptions& o) {
  Close();
  // A USB camera plugged in is used, even when it cannot be opened (the user
  // should hear why); without one the simulator stands in, unless a
  // particular camera was asked for.
  std::string chosen;
  std::vector<tarncam_camera_info> cameras;
  if (!o.forceSimulator) {
    if (Status bad = ApplyUsbChoice(o, &chosen); !bad.ok()) return bad;
    uint32_t present = 0;
    tarncam_list_cameras(nullptr, 0, &present);
    cameras.resize(present);
    if (present != 0) {
      cameras[0].struct_size = sizeof(tarncam_camera_info);
      tarncam_list_cameras(cameras.data(), present, &present);
      cameras.resize(std::min<size_t>(present, cameras.size()));
    }
  }
  uint32_t index = 0;
  if (!chosen.empty()) {
    while (index < cameras.size() && !IsChosen(cameras[index], chosen)) ++index;
    if (index == cameras.size()) {
      return Status::Error(ExitCode::kNoCamera,
                           "no camera matches '" + chosen + "' (see `tarncam list`)");
    }
  }
  tarncam_status s;
  if (o.forceSimulator || cameras.empty()) {
    if (!o.forceSimulator) std::fprintf(stderr, "no camera found; using the built-in simulator\n");
    tarncam_sim_options sim;
    if (Status bad = SimulatorOptions(o, &sim); !bad.ok()) return bad;
    simulated_ = true;
    s = tarncam_open_simulated(&sim, &camera_);
  } else {
    if (o.simOptionsGiven) {
      std::fprintf(stderr, "a camera is connected; the --sim-... options need --simulator\n");
    }
    s = tarncam_open_id(cameras[index].id, &camera_);
  }
  char where[160] = "the simulated camera";
  if (!simulated_) {
    std::snprintf(where, sizeof where, "the camera at %s (%04x:%04x)", cameras[index].location,
                  cameras[index].vendor_id, cameras[index].product_id);
  }

  tarncam_error_detail why{};
  why.struct_size = sizeof why;
  tarncam_last_error(&why);
  switch (s) {
    case TARNCAM_OK:
      break;
    case TARNCAM_ERR_NO_DEVICE:
      return Status::Error(
          ExitCode::kNoCamera,
          simulated_ ? "no camera found (the simulated camera is unplugged)" : "no camera found");
    case TARNCAM_ERR_WRONG_FIRMWARE:
      info_.firmware_version = why.firmware_version;
      return Status::Error(ExitCode::kWrongFirmware,
                           "the camera runs firmware version " + Hex(why.firmware_version) + " (" +
                               std::to_string(why.firmware_version) + "); this library drives " +
                               Hex(TARNCAM_FIRMWARE_VERSION) + " (" +
                               std::to_string(TARNCAM_FIRMWARE_VERSION) + ")");
    case TARNCAM_ERR_PROTOCOL:
      // There, but not a camera this library can drive.
      return Status::Error(ExitCode::kWrongFirmware,
                           std::string("the camera does not answer as expected: ") + why.message);
    case TARNCAM_ERR_OUT_OF_RANGE:
    case TARNCAM_ERR_INVALID_ARGUMENT:
      return Status::Error(ExitCode::kBadArguments, "the simulator refused its options");
    case TARNCAM_ERR_ACCESS:
      return Status::Error(ExitCode::kUnavailable,
                           std::string(where) + " cannot be opened: permission denied. Install the udev rule "
                                   "60-tarncam.rules (see docs/usb.md), then unplug and replug "
                                   "the camera");
    case TARNCAM_ERR_BUSY:
      return Status::Error(ExitCode::kUnavailable, std::string(where) + " is in use by another program");
    default:
      return Status::Error(ExitCode::kFailure, why.message);
  }
  info_.struct_size = sizeof info_;
  tarncam_get_info(camera_, &info_);
  colour_ = info_.colour == 1 || o.colour;
  return Status::Ok();
}

void Device::Close() {
  // Closing ends and joins an exposure still running: nothing of the
  // library writes into our buffers after this.
  if (camera_ != nullptr) tarncam_close(camera_);
  camera_ = nullptr;
}

}  // namespace tarncli
