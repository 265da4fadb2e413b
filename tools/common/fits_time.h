#pragma once
// Time stamps as FITS DATE-OBS spells them, for the applications (the tool,
// the INDI driver, the Alpaca server), which stamp frames with the times of
// the camera API's records. Header only: each application links nothing
// but the library.

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace tarnapp {

// "2026-01-01T00:00:00.123": UTC with milliseconds, from nanoseconds since
// 1970, rounded down (also before 1970).
inline std::string FitsUtc(int64_t utcNs) {
  auto floorDiv = [](int64_t a, int64_t b) { return a / b - ((a % b) < 0 ? 1 : 0); };
  const int64_t totalMs = floorDiv(utcNs, 1'000'000);
  const int64_t seconds = floorDiv(totalMs, 1000);
  const int64_t ms = totalMs - seconds * 1000;
  const time_t t = static_cast<time_t>(seconds);
  tm parts{};
  gmtime_r(&t, &parts);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(ms));
  return text;
}

}  // namespace tarnapp
