#include "indi/driver_support.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <type_traits>

namespace tarnindi {
namespace {

bool ToUnsigned(const std::string& v, uint64_t* out) {
  if (v.empty() || v[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  // Base 0: firmware versions and identification words read best in hex.
  *out = std::strtoull(v.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

bool ToDouble(const std::string& v, double* out) {
  if (v.empty()) return false;
  char* end = nullptr;
  *out = std::strtod(v.c_str(), &end);
  return *end == '\0' && std::isfinite(*out);
}

}  // namespace

bool ParseSimulatorSetup(const std::string& text, SimulatorSetup* setup, std::string* error) {
  SimulatorSetup s;
  tarncam_sim_default_options(&s.options);
  tarncam_sim_options& o = s.options;

  using Setter = std::function<bool(const std::string&)>;
  auto u32 = [](auto* field) -> Setter {
    return [field](const std::string& v) {
      uint64_t n = 0;
      if (!ToUnsigned(v, &n) || n > 0xFFFFFFFFull) return false;
      *field = static_cast<std::remove_pointer_t<decltype(field)>>(n);
      return true;
    };
  };
  auto real = [](double* field) -> Setter {
    return [field](const std::string& v) { return ToDouble(v, field); };
  };
  const std::map<std::string, Setter> keys = {
      {"scene",
       [&o](const std::string& v) {
         if (v == "stars") {
           o.scene = TARNCAM_SIM_SCENE_STARS;
         } else if (v == "test-pattern") {
           o.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
         } else {
           return false;
         }
         return true;
       }},
      {"seed",
       [&o](const std::string& v) {
         uint64_t n = 0;
         if (!ToUnsigned(v, &n)) return false;
         o.seed = n;
         return true;
       }},
      {"cameras",
       [&s](const std::string& v) {
         uint64_t n = 0;
         if (!ToUnsigned(v, &n) || n < 1 || n > kMaxSimulatedCameras) return false;
         s.cameras = static_cast<uint32_t>(n);
         return true;
       }},
      {"colour", u32(&o.colour)},
      {"blank", u32(&o.blank_controller)},
      {"stays_blank", u32(&o.stays_blank)},
      {"renumerate_ms", u32(&o.renumerate_ms)},
      {"firmware_version", u32(&o.firmware_version)},
      {"fail_read", u32(&o.fail_read_number)},
      {"fail_read_count", u32(&o.fail_read_count)},
      {"timeout_read", u32(&o.timeout_read_number)},
      {"short_read", u32(&o.short_read_number)},
      {"fail_control", u32(&o.fail_control_number)},
      {"disconnect_read", u32(&o.disconnect_read_number)},
      {"replug_ms", u32(&o.replug_ms)},
      {"star_count", u32(&o.star_count)},
      {"hot_pixels", u32(&o.hot_pixels)},
      {"ignore_abort", u32(&o.ignore_abort)},
      {"virtual_time", u32(&o.virtual_time)},
      {"star_brightness", real(&o.star_brightness)},
      {"sky_level", real(&o.sky_level)},
      {"read_noise", real(&o.read_noise)},
      {"seeing", real(&o.seeing_px)},
      {"guide_rate", real(&o.guide_rate)},
  };

  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(',', at);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(at, end - at);
    at = end + 1;
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? "1" : item.substr(eq + 1);
    auto it = keys.find(key);
    if (it == keys.end()) {
      *error = "unknown key '" + key + "'";
      return false;
    }
    if (!it->second(value)) {
      *error = "bad value '" + value + "' for " + key;
      return false;
    }
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
  if (f.height < kSensorHeight && f.width > kWindowedRowWidth) {
    f.width = kWindowedRowWidth;
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

std::string FitsTimestamp(int64_t utcNs) {
  // Rounded down, also before 1970.
  auto floorDiv = [](int64_t a, int64_t b) { return a / b - ((a % b) < 0 ? 1 : 0); };
  const int64_t totalMs = floorDiv(utcNs, 1'000'000);
  const int64_t seconds = floorDiv(totalMs, 1000);
  const int64_t ms = totalMs - seconds * 1000;
  const time_t t = static_cast<time_t>(seconds);
  tm parts{};
  gmtime_r(&t, &parts);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(ms));
  return text;
}

}  // namespace tarnindi
