#include "indi/driver_support.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tools/common/fits_time.h"

namespace tarnindi {

bool ParseSimulatorSetup(const std::string& text, SimulatorSetup* setup, std::string* error) {
  // "cameras" is the driver's own key; the rest is the simulator's, read by
  // the library's parser.
  SimulatorSetup s;
  std::string rest;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(',', at);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(at, end - at);
    at = end + 1;
    if (item.rfind("cameras=", 0) != 0) {
      rest += (rest.empty() ? "" : ",") + item;
      continue;
    }
    const std::string value = item.substr(8);
    char* last = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(value.c_str(), &last, 10);
    if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0])) || *last != '\0' ||
        errno != 0 || n < 1 || n > kMaxSimulatedCameras) {
      *error = "bad value '" + value + "' for cameras";
      return false;
    }
    s.cameras = static_cast<uint32_t>(n);
  }
  char why[160] = "";
  if (tarncam_sim_parse_options(rest.c_str(), &s.options, why, sizeof why) != 0) {
    *error = why;
    return false;
  }
  *setup = s;
  return true;
}

FittedSize FitWindowSize(double width, double height) {
  FittedSize f;
  // NaN and anything below half a pixel round to nothing.
  if (!(width >= 0.5) || !(height >= 0.5)) {
    f.refused = true;
    return f;
  }
  const double w = std::round(std::min(width, 1e6));
  const double h = std::round(std::min(height, 1e6));
  f.width = static_cast<uint32_t>(w);
  f.height = static_cast<uint32_t>(h);
  if (f.height > kSensorHeight) {
    f.height = kSensorHeight;
    f.clipped = true;
  }
  if (f.width > kSensorWidth) {
    f.width = kSensorWidth;
    f.clipped = true;
  }
  const uint32_t widest = tarncam_window_max_width(f.height);
  if (f.width > widest) {
    f.width = widest;
    f.narrowed = true;
  }
  return f;
}

PortPulse MapGuidePulse(SkyAxis axis, bool plus, const GuideMapping& mapping) {
  const bool reversed = axis == SkyAxis::kRa ? mapping.reverseRa : mapping.reverseDec;
  const bool towardsPlus = plus != reversed;
  PortPulse p;
  p.onX = (axis == SkyAxis::kRa) != mapping.swapAxes;
  if (p.onX) {
    p.direction = towardsPlus ? TARNCAM_GUIDE_PLUS_X : TARNCAM_GUIDE_MINUS_X;
  } else {
    p.direction = towardsPlus ? TARNCAM_GUIDE_PLUS_Y : TARNCAM_GUIDE_MINUS_Y;
  }
  return p;
}

std::string FitsTimestamp(int64_t utcNs) { return tarnapp::FitsUtc(utcNs); }

bool ApplyAllOrNone(const std::vector<ControlChange>& changes,
                    const std::function<tarncam_status(tarncam_control, int64_t)>& set,
                    std::string* error, tarncam_status* status) {
  char text[160];
  for (const ControlChange& c : changes) {
    int64_t min = 0, max = 0;
    if (tarncam_control_range(c.control, &min, &max, nullptr) != TARNCAM_OK || c.to < min ||
        c.to > max) {
      std::snprintf(text, sizeof text, "the %s must be %" PRId64 " to %" PRId64 ", not %" PRId64,
                    c.what, min, max, c.to);
      *error = text;
      *status = TARNCAM_ERR_OUT_OF_RANGE;
      return false;
    }
  }
  for (size_t i = 0; i < changes.size(); ++i) {
    const ControlChange& c = changes[i];
    if (c.to == c.from) continue;
    const tarncam_status s = set(c.control, c.to);
    if (s == TARNCAM_OK) continue;
    std::snprintf(text, sizeof text, "the camera refused the %s %" PRId64 ": %s", c.what, c.to,
                  tarncam_status_text(s));
    *error = text;
    *status = s;
    // Back to the values the property still shows.
    while (i-- > 0) {
      if (changes[i].to != changes[i].from) set(changes[i].control, changes[i].from);
    }
    return false;
  }
  *status = TARNCAM_OK;
  return true;
}

}  // namespace tarnindi
