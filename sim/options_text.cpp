#include "sim/options_text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <type_traits>

namespace sim {
namespace {

bool ToUnsigned(const std::string& v, uint64_t* out) {
  if (v.empty()) return false;
  char* end = nullptr;
  errno = 0;
  // Base 0: firmware versions read best in hexadecimal.
  *out = std::strtoull(v.c_str(), &end, 0);
  return errno == 0 && *end == '\0' && v[0] != '-';
}

bool ToDouble(const std::string& v, double* out) {
  if (v.empty()) return false;
  char* end = nullptr;
  *out = std::strtod(v.c_str(), &end);
  return *end == '\0' && std::isfinite(*out);
}

}  // namespace

bool ParseOptions(const std::string& text, Options* options, std::string* error) {
  Options o = DefaultOptions();
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
         if (v == "stars")
           o.scene = TARNCAM_SIM_SCENE_STARS;
         else if (v == "test-pattern")
           o.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
         else
           return false;
         return true;
       }},
      {"seed",
       [&o](const std::string& v) {
         uint64_t n = 0;
         if (!ToUnsigned(v, &n)) return false;
         o.seed = n;
         return true;
       }},
      {"colour", u32(&o.colour)},
      {"present", u32(&o.present)},
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
      {"ignore_abort", u32(&o.ignore_abort)},
      // Seeded faults: each read (or control transfer) draws from the seed
      // and its number, so a run with the same traffic repeats them.
      {"read_fail_p", real(&o.read_fail_probability)},
      {"read_timeout_p", real(&o.read_timeout_probability)},
      {"short_read_p", real(&o.short_read_probability)},
      {"control_fail_p", real(&o.control_fail_probability)},
      {"disconnect_p", real(&o.disconnect_probability)},
      {"replug_blank", u32(&o.replug_blank)},
      {"virtual_time", u32(&o.virtual_time)},
      {"star_count", u32(&o.star_count)},
      {"hot_pixels", u32(&o.hot_pixels)},
      {"star_brightness", real(&o.star_brightness)},
      {"sky_level", real(&o.sky_level)},
      {"read_noise", real(&o.read_noise)},
      {"seeing", real(&o.seeing_px)},
      {"guide_rate", real(&o.guide_rate)},
      {"focal_length", real(&o.focal_length_mm)},
      {"pixel_size", real(&o.pixel_size_um)},
      {"guide_rate_sidereal", real(&o.guide_rate_sidereal)},
      {"pe_amplitude", real(&o.pe_amplitude_arcsec)},
      {"pe_period", real(&o.pe_period_s)},
      {"dec_drift", real(&o.dec_drift_arcsec_per_s)},
      {"jitter", real(&o.jitter_arcsec)},
      {"dec_backlash", u32(&o.dec_backlash_ms)},
      {"fade_depth", real(&o.fade_depth)},
      {"fade_period", real(&o.fade_period_s)},
      {"fade_length", real(&o.fade_length_s)},
      {"mount",
       [&o](const std::string& v) {
         // A preset of the mount's faults; keys after it change single ones.
         if (v == "real") {
           o.pe_amplitude_arcsec = 15;
           o.pe_period_s = 480;
           o.dec_drift_arcsec_per_s = 0.05;
           o.jitter_arcsec = 0.3;
         } else if (v == "perfect") {
           o.pe_amplitude_arcsec = 0;
           o.dec_drift_arcsec_per_s = 0;
           o.jitter_arcsec = 0;
           o.dec_backlash_ms = 0;
         } else {
           return false;
         }
         return true;
       }},
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
  if (!ValidOptions(o)) {
    *error = "options out of range";
    return false;
  }
  *options = o;
  return true;
}

bool TakeOption(std::string* text, const std::string& key, std::string* value) {
  std::string rest;
  bool found = false;
  size_t at = 0;
  while (at <= text->size()) {
    size_t end = text->find(',', at);
    if (end == std::string::npos) end = text->size();
    const std::string item = text->substr(at, end - at);
    at = end + 1;
    const size_t eq = item.find('=');
    if (item.substr(0, eq) == key) {
      found = true;
      *value = eq == std::string::npos ? "1" : item.substr(eq + 1);
    } else if (!item.empty()) {
      rest += (rest.empty() ? "" : ",") + item;
    }
  }
  *text = rest;
  return found;
}

}  // namespace sim
