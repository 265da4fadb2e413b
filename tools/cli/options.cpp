#include "cli/options.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace tarncli {
namespace {

// Longest guide pulse accepted: the wire carries tenths of a millisecond in
// a signed 32-bit field, so anything near 2^31 / 10 would wrap.
constexpr int32_t kMaxGuideMs = 3'600'000;

bool ParseUnsigned(const std::string& text, size_t begin, size_t end, uint32_t* value) {
  if (begin >= end) return false;
  const char* first = text.data() + begin;
  const char* last = text.data() + end;
  const auto [ptr, ec] = std::from_chars(first, last, *value);
  return ec == std::errc() && ptr == last;
}

Status CheckGuideMs(const char* name, int32_t ms) {
  if (ms == -1 || (ms >= 0 && ms <= kMaxGuideMs)) return Status::Ok();
  return Status::Error(ExitCode::kBadArguments, std::string(name) +
                                                    ": a pulse lasts 0 to 3600000 ms, or -1 (until "
                                                    "cancelled), not " +
                                                    std::to_string(ms));
}

}  // namespace

// Subframe would keep the low 16 bits and clamp to the sensor without a
// word; a window the user did not ask for is worse than a clear refusal.
Status ParseWindow(const std::string& text, Window* window) {
  const size_t x = text.find_first_of("xX");
  Window w;
  if (x == std::string::npos || !ParseUnsigned(text, 0, x, &w.width) ||
      !ParseUnsigned(text, x + 1, text.size(), &w.height)) {
    return Status::Error(ExitCode::kBadArguments,
                         "--window: expected WIDTHxHEIGHT such as 640x480, not '" + text + "'");
  }
  if (w.width < 1 || w.width > kSensorWidth || w.height < 1 || w.height > kSensorHeight) {
    return Status::Error(ExitCode::kBadArguments,
                         "--window: the sensor is " + std::to_string(kSensorWidth) + "x" +
                             std::to_string(kSensorHeight) + "; " + text + " does not fit");
  }
  *window = w;
  return Status::Ok();
}

Status CheckExposureSettings(const ExposureSettings& s) {
  if (s.bits != 8 && s.bits != 10) {
    return Status::Error(ExitCode::kBadArguments, "--bits: 8 or 10");
  }
  if (s.gain > 100) return Status::Error(ExitCode::kBadArguments, "--gain: 0 to 100");
  // A row of a window shorter than the full height carries only the centre
  // columns; beyond them the readout would copy blanking and the next row.
  // (ParseWindow has kept the height within the sensor.)
  const uint32_t widest = tarncam_window_max_width(s.window.height);
  if (widest != 0 && s.window.width > widest) {
    const std::string columns = std::to_string(widest);
    return Status::Error(ExitCode::kBadArguments,
                         "--window: windows shorter than " + std::to_string(kSensorHeight) +
                             " rows are at most " + columns + " columns wide (the sensor reads " +
                             columns + " columns per row then)");
  }
  return Status::Ok();
}

OutputName SplitOutputName(const std::string& output) {
  OutputName name;
  name.prefix = output;
  const size_t dot = output.rfind('.');
  const size_t slash = output.rfind('/');
  // A dot that starts the file's own name ("dir/.fits") leaves no name.
  if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot <= slash + 1))
    return name;
  const std::string ext = output.substr(dot);
  std::string lower = ext;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == ".fits" || lower == ".fit" || lower == ".fts") {
    name.fits = ext;
  } else if (lower == ".png") {
    name.png = ext;
  } else {
    return name;
  }
  name.prefix = output.substr(0, dot);
  return name;
}

std::string FramePath(const std::string& prefix, uint32_t index, uint32_t count,
                      const std::string& extension) {
  if (count <= 1) return prefix + extension;
  char number[16];
  std::snprintf(number, sizeof number, "-%04u", index + 1);
  return prefix + number + extension;
}

Status BuildGuidePulse(const GuideOptions& o, GuidePulse* pulse) {
  // The bits' meaning belongs to the camera's firmware (TARNCAM_GUIDE_*).
  // East and south are the positive directions.
  GuidePulse p;
  // Mixing the two forms would leave it unclear which word is sent.
  const bool named = o.east || o.west || o.north || o.south;
  const bool raw = o.directionBits || o.x || o.y;
  if (named && raw) {
    return Status::Error(ExitCode::kBadArguments,
                         "use either --east/--west/--north/--south or --direction with --x/--y");
  }
  if ((o.east && o.west) || (o.north && o.south)) {
    return Status::Error(ExitCode::kBadArguments,
                         "one direction per axis: east or west, north or south");
  }
  struct Named {
    const char* name;
    const std::optional<int32_t>& ms;
    uint32_t bit;
    bool xAxis;
  };
  const Named names[] = {{"--east", o.east, TARNCAM_GUIDE_PLUS_X, true},
                         {"--west", o.west, TARNCAM_GUIDE_MINUS_X, true},
                         {"--south", o.south, TARNCAM_GUIDE_PLUS_Y, false},
                         {"--north", o.north, TARNCAM_GUIDE_MINUS_Y, false}};
  for (const Named& n : names) {
    if (!n.ms) continue;
    if (Status s = CheckGuideMs(n.name, *n.ms); !s.ok()) return s;
    p.direction |= n.bit;
    (n.xAxis ? p.xMs : p.yMs) = *n.ms;
  }
  if (raw) {
    if (!o.directionBits) {
      return Status::Error(ExitCode::kBadArguments, "--x and --y need --direction");
    }
    if (*o.directionBits > 0xFFFF) {
      return Status::Error(ExitCode::kBadArguments, "--direction: a 16-bit word (0 to 65535)");
    }
    p.direction = *o.directionBits;
    p.xMs = o.x.value_or(0);
    p.yMs = o.y.value_or(0);
    if (Status s = CheckGuideMs("--x", p.xMs); !s.ok()) return s;
    if (Status s = CheckGuideMs("--y", p.yMs); !s.ok()) return s;
  }
  if (!named && !raw && o.cancel.empty()) {
    return Status::Error(ExitCode::kBadArguments,
                         "nothing to do: give a pulse (--east MS, ...) or --cancel");
  }
  *pulse = p;
  return Status::Ok();
}

}  // namespace tarncli
