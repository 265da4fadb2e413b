// `tarncam info`, `guide` and `list`: the camera itself, no exposure.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/device.h"
#include "cli/interrupt.h"
#include "tarncam/tarncam.h"
#include "tarncam/tarncam_native.h"
#include "tarncam/tarncam_sim.h"

namespace tarncli {

// Prints what it could learn even when the open fails: a camera with the
// wrong firmware still has a version and a path worth showing.
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
      const uint32_t id = device.identification();
      std::printf("identification: 0x%08X", id);
      if (device.simulated()) {
        std::printf(" (%s)", (id & TARNCAM_SIM_ID_COLOUR_BIT) != 0 ? "colour" : "monochrome");
      }
      std::printf("\n");
    }
    std::printf("device path:    %s\n", device.devicePath().c_str());
  }
  // The notice is the library's own and needs no camera.
  std::printf("notice:         %s\n", CopyRight());
  std::fflush(stdout);
  return s;
}

// One line per USB camera plugged in, whether the library could open it or
// not: what --device takes, the IDs, and whether its firmware is loaded.
Status RunList(const DeviceOptions& deviceOptions) {
  std::string chosen;
  if (Status s = ApplyUsbChoice(deviceOptions, &chosen); !s.ok()) return s;
  constexpr uint32_t kMaxListed = 64;
  std::vector<tarncam_usb_device> found(kMaxListed);
  const uint32_t n = tarncam_usb_list(found.data(), kMaxListed);
  if (n == 0) return Status::Error(ExitCode::kNoCamera, "no camera found");
  std::printf("%-12s %-10s %-11s %-20s %s\n", "PORT", "ID", "STATE", "SERIAL", "PATH");
  for (uint32_t i = 0; i < n && i < kMaxListed; ++i) {
    const tarncam_usb_device& d = found[i];
    char id[16];
    std::snprintf(id, sizeof id, "%04x:%04x", d.vendor_id, d.product_id);
    const char* state = d.blank == 1 ? "blank" : d.blank == 0 ? "programmed" : "unknown";
    std::printf("%-12s %-10s %-11s %-20s %s\n", d.location, id, state,
                d.serial[0] != '\0' ? d.serial : "-", d.path);
  }
  std::fflush(stdout);
  return Status::Ok();
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
  if (hasPulse) {
    if (GuideCommandXY(pulse.direction, pulse.xMs, pulse.yMs) != 0) {
      return Status::Error(ExitCode::kFailure, "the camera is not open; no pulse sent");
    }
    std::printf("pulse sent: direction 0x%X, x %d ms, y %d ms\n", pulse.direction, pulse.xMs,
                pulse.yMs);
    if (o.wait) {
      // The camera times the pulse itself; waiting only lets the caller see
      // it end (and lets the simulator's field finish moving).
      constexpr unsigned kMarginMs = 50;
      const unsigned longest = static_cast<unsigned>(std::max(pulse.xMs, pulse.yMs));
      if (!SleepUnlessInterrupted(longest + kMarginMs)) {
        CancelGuide(1, 1);
        return Status::Error(ExitCode::kInterrupted, "interrupted; guide pulses cancelled");
      }
    }
  }
  // After the pulse, so that "pulse and stop" in one call does both in order.
  if (!o.cancel.empty()) {
    const bool x = o.cancel == "x" || o.cancel == "both";
    const bool y = o.cancel == "y" || o.cancel == "both";
    if (CancelGuide(x ? 1 : 0, y ? 1 : 0) != 0) {
      return Status::Error(ExitCode::kFailure, "the camera is not open; nothing cancelled");
    }
    std::printf("cancelled: %s\n", o.cancel.c_str());
  }
  if (device.simulated()) {
    tarncam_sim_stats stats;
    if (tarncam_sim_get_stats(&stats) == 0) {
      std::printf("simulated field offset: x %+.2f px, y %+.2f px\n", stats.guide_offset_x,
                  stats.guide_offset_y);
    }
  }
  std::fflush(stdout);
  return Status::Ok();
}

}  // namespace tarncli
