// `tarncam info` and `tarncam guide`: the camera itself, no exposure.

#include <cstdio>

#include "cli/commands.h"
#include "cli/device.h"
#include "cli/interrupt.h"
#include "tarncam/tarncam.h"

namespace tarncli {
namespace {

// The guide calls' statuses as the tool's exit codes.
Status GuideStatus(tarncam_status s) {
  if (s == TARNCAM_OK) return Status::Ok();
  const bool caller = s == TARNCAM_ERR_INVALID_ARGUMENT || s == TARNCAM_ERR_OUT_OF_RANGE;
  return Status::Error(caller ? ExitCode::kBadArguments : ExitCode::kFailure, LastError());
}

}  // namespace

// Prints what it could learn even when the open fails: a camera with the
// wrong firmware still has a version worth showing.
Status RunInfo(const DeviceOptions& deviceOptions) {
  Device device;
  const Status s = device.Open(deviceOptions);
  const char* simulated = device.simulated() ? " (simulator)" : "";
  if (s.code == ExitCode::kNoCamera) {
    std::printf("camera:         not found%s\n", simulated);
  } else if (s.ok() || s.code == ExitCode::kWrongFirmware) {
    std::printf("camera:         found%s\n", simulated);
    const uint32_t v = device.firmwareVersion();
    std::printf("firmware:       0x%08X (%u)%s\n", v, v, s.ok() ? "" : ", not supported");
    if (s.ok()) {
      std::printf("identification: 0x%08X (%s)\n", device.identification(),
                  device.colour() ? "colour" : "monochrome");
      std::printf("device path:    %s\n", device.id().c_str());
    }
  }
  // The notice is the library's own and needs no camera.
  std::printf("notice:         %s\n", CopyRight());
  std::fflush(stdout);
  return s;
}

Status RunGuide(const DeviceOptions& deviceOptions, const GuideOptions& o) {
  GuidePulse pulse;
  if (Status s = BuildGuidePulse(o, &pulse); !s.ok()) return s;
  const bool hasPulse = pulse.direction != 0 || pulse.xMs != 0 || pulse.yMs != 0;
  if (o.wait && (pulse.xMs < 0 || pulse.yMs < 0)) {
    return Status::Error(ExitCode::kBadArguments, "--wait: a pulse of -1 lasts until cancelled");
  }

  Device device;
  if (Status s = device.Open(deviceOptions); !s.ok()) return s;
  tarncam_camera* cam = device.camera();
  if (hasPulse) {
    const Status sent = GuideStatus(tarncam_guide_pulse(cam, pulse.direction, pulse.xMs, pulse.yMs));
    if (!sent.ok()) return sent;
    std::printf("pulse sent: direction 0x%X, x %d ms, y %d ms\n", pulse.direction, pulse.xMs,
                pulse.yMs);
    // The camera times the pulses itself; the library follows them, so the
    // wait ends when both axes are quiet (and the simulated field has moved).
    tarncam_guide_state g{};
    g.struct_size = sizeof g;
    while (o.wait && tarncam_guide_get_state(cam, &g) == TARNCAM_OK &&
           (g.x_remaining_ms != 0 || g.y_remaining_ms != 0)) {
      if (!SleepUnlessInterrupted(10)) {
        tarncam_guide_stop(cam, TARNCAM_GUIDE_AXIS_X | TARNCAM_GUIDE_AXIS_Y);
        return Status::Error(ExitCode::kInterrupted, "interrupted; guide pulses cancelled");
      }
    }
  }
  // After the pulse, so that "pulse and stop" in one call does both in order.
  if (!o.cancel.empty()) {
    const uint32_t axes = (o.cancel == "y" ? 0 : TARNCAM_GUIDE_AXIS_X) |
                          (o.cancel == "x" ? 0 : TARNCAM_GUIDE_AXIS_Y);
    if (Status s = GuideStatus(tarncam_guide_stop(cam, axes)); !s.ok()) return s;
    std::printf("cancelled: %s\n", o.cancel.c_str());
  }
  tarncam_sim_stats stats;
  if (device.simulated() && tarncam_sim_camera_stats(device.id().c_str(), &stats) == TARNCAM_OK) {
    std::printf("simulated field offset: x %+.2f px, y %+.2f px\n", stats.guide_offset_x,
                stats.guide_offset_y);
  }
  std::fflush(stdout);
  return Status::Ok();
}

}  // namespace tarncli
