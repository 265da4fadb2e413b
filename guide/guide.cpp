#include "guide/guide.h"

#include "usb/control.h"
#include "usb/requests.h"

namespace tarncam {
namespace {

// Durations go to the camera in tenths: times 10 in 32-bit wrapping
// arithmetic, except -1, which passes unchanged.
uint32_t Scale(int32_t duration) {
  return duration == -1 ? 0xFFFFFFFFu : static_cast<uint32_t>(duration) * 10u;
}

void PutU32Le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

UsbResult SendGuidePulse(Camera& cam, uint16_t direction, int32_t first, int32_t second) {
  uint8_t data[8];
  PutU32Le(data, Scale(first));
  PutU32Le(data + 4, Scale(second));
  return ControlOut(cam, kReqGuide, 0, direction, data, sizeof data);
}

UsbResult StopGuidePulses(Camera& cam, bool first, bool second) {
  uint8_t request = 0;
  if (first && second) {
    request = kReqGuideStopBoth;
  } else if (first) {
    request = kReqGuideStopFirst;
  } else if (second) {
    request = kReqGuideStopSecond;
  } else {
    return UsbResult::Ok();
  }
  // The stop is an IN request: its two reply bytes are read and dropped.
  uint8_t reply[2] = {0, 0};
  return ControlIn(cam, request, 0, 0, reply, sizeof reply);
}

void GuideTracker::Started(uint16_t direction, int32_t xMs, int32_t yMs, uint64_t nowNs) {
  auto start = [&](Pulse& p, uint16_t bits, int32_t ms) {
    if ((direction & bits) == 0) return;
    p.direction = direction & bits;
    p.untilStopped = ms == kGuideUntilStopped;
    p.endNs = ms > 0 ? nowNs + static_cast<uint64_t>(ms) * 1'000'000 : nowNs;
  };
  start(x, kGuidePlusX | kGuideMinusX, xMs);
  start(y, kGuidePlusY | kGuideMinusY, yMs);
}

void GuideTracker::Stopped(bool stopX, bool stopY) {
  if (stopX) x = Pulse{};
  if (stopY) y = Pulse{};
}

GuideTracker::Axis GuideTracker::At(const Pulse& p, uint64_t nowNs) {
  Axis a;
  if (p.direction == 0) return a;
  if (p.untilStopped) return {p.direction, kGuideUntilStopped};
  if (nowNs >= p.endNs) return a;
  // Rounded up: a pulse with any time left reports at least 1 ms.
  return {p.direction, static_cast<int64_t>((p.endNs - nowNs + 999'999) / 1'000'000)};
}

}  // namespace tarncam
