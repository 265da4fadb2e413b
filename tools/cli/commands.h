#pragma once
// The subcommands. Each but `list` opens the camera itself, prints what the user
// asked for, and returns the outcome that decides the exit code.

#include "cli/options.h"
#include "cli/status.h"

namespace tarncli {

Status RunCapture(const DeviceOptions& device, const CaptureOptions& options);
Status RunStream(const DeviceOptions& device, const StreamOptions& options);
Status RunInfo(const DeviceOptions& device);
Status RunGuide(const DeviceOptions& device, const GuideOptions& options);
Status RunList(const DeviceOptions& device);

}  // namespace tarncli
