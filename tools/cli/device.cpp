#include "cli/device.h"

#include <cstdio>

namespace tarncli {
namespace {

// The firmware version this library drives (the camera's reply to query 99).
constexpr uint32_t kExpectedFirmware = 0x0132901D;

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

}  // namespace

std::string LastError() {
  tarncam_error_detail d{};
  d.struct_size = sizeof d;
  tarncam_last_error(&d);
  return d.message;
}

Device::~Device() { Close(); }

Status Device::Open(const DeviceOptions& o) {
  Close();
  uint32_t present = 0;
  tarncam_list_cameras(nullptr, 0, &present);
  tarncam_status s;
  if (o.forceSimulator || present == 0) {
    if (!o.forceSimulator) std::fprintf(stderr, "no camera found; using the built-in simulator\n");
    tarncam_sim_options sim;
    if (Status bad = SimulatorOptions(o, &sim); !bad.ok()) return bad;
    simulated_ = true;
    s = tarncam_open_simulated(&sim, &camera_);
  } else {
    if (o.simOptionsGiven) {
      std::fprintf(stderr, "a camera is connected; the --sim-... options need --simulator\n");
    }
    s = tarncam_open_index(0, &camera_);
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
                               Hex(kExpectedFirmware) + " (" + std::to_string(kExpectedFirmware) +
                               ")");
    case TARNCAM_ERR_PROTOCOL:
      // There, but not a camera this library can drive.
      return Status::Error(ExitCode::kWrongFirmware,
                           std::string("the camera does not answer as expected: ") + why.message);
    case TARNCAM_ERR_OUT_OF_RANGE:
    case TARNCAM_ERR_INVALID_ARGUMENT:
      return Status::Error(ExitCode::kBadArguments, "the simulator refused its options");
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
