#include "cli/device.h"

#include <cstdio>

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

}  // namespace

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
  // checkdevice opens and closes again (loading firmware into a blank
  // controller on the way); without an answer the simulator stands in.
  if (o.forceSimulator) {
    if (Status s = AttachSimulator(o); !s.ok()) return s;
  } else if (checkdevice(0) == 0) {
    std::fprintf(stderr, "no camera found; using the built-in simulator\n");
    if (Status s = AttachSimulator(o); !s.ok()) return s;
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

  // openUSB says no for a missing camera and for wrong firmware alike; open
  // the device without the version check to tell the two apart.
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
