#pragma once
// The autoguider port: timed pulses on two axes and their stop, and the
// state of the pulses as the library last commanded them.

#include <cstdint>

#include "core/camera_state.h"

namespace tarncam {

// Sends one guide command (request 0x10): the direction word in the index,
// then each axis' duration in the camera's unit of 0.1 ms, that is the
// duration times 10 in 32-bit wrapping arithmetic, except -1 ("until
// stopped"), which passes unchanged. The firmware gives the direction bits
// their meaning.
UsbResult SendGuidePulse(Camera& cam, uint16_t direction, int32_t first, int32_t second);

// Stops the pulses on the axes named: request 0x18 for both, 0x21 for the
// first, 0x22 for the second, each an IN request whose two reply bytes are
// dropped. Nothing is sent when neither is named.
UsbResult StopGuidePulses(Camera& cam, bool first, bool second);

// The direction bits as the camera's firmware reads them.
inline constexpr uint16_t kGuidePlusX = 0x1;
inline constexpr uint16_t kGuideMinusX = 0x2;
inline constexpr uint16_t kGuidePlusY = 0x4;
inline constexpr uint16_t kGuideMinusY = 0x8;
inline constexpr int32_t kGuideUntilStopped = -1;

// What the pulses are doing, by the library's clock: each axis runs the last
// pulse it was sent until that pulse's time is up or it is stopped. The
// camera times the pulses itself; this follows them without asking it.
class GuideTracker {
 public:
  struct Axis {
    uint16_t direction = 0;   // the axis' direction bit of the running pulse; 0 none
    int64_t remainingMs = 0;  // kGuideUntilStopped: until stopped
  };

  // A pulse of `durationMs` (or kGuideUntilStopped) started at `nowNs` on
  // each axis whose bit `direction` has; the other axis is left as it is.
  void Started(uint16_t direction, int32_t xMs, int32_t yMs, uint64_t nowNs);
  void Stopped(bool x, bool y);
  Axis X(uint64_t nowNs) const { return At(x, nowNs); }
  Axis Y(uint64_t nowNs) const { return At(y, nowNs); }

 private:
  struct Pulse {
    uint16_t direction = 0;
    bool untilStopped = false;
    uint64_t endNs = 0;
  };
  static Axis At(const Pulse& p, uint64_t nowNs);
  Pulse x, y;
};

}  // namespace tarncam
