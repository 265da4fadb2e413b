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

uint32_t GuideCommandXY(Camera& cam, uint32_t direction, int32_t first, int32_t second) {
  if (!cam.state.DeviceOpen()) return 1;
  uint8_t data[8];
  PutU32Le(data, Scale(first));
  PutU32Le(data + 4, Scale(second));
  ControlOut(cam, kReqGuide, data, sizeof data, static_cast<uint16_t>(direction), 0);
  return 0;  // issued; the transfer's outcome is not reported
}

uint32_t GuideCommand(Camera& cam, uint32_t direction, int32_t duration) {
  return GuideCommandXY(cam, direction, duration, duration);
}

uint32_t CancelGuide(Camera& cam, uint32_t first, uint32_t second) {
  if (!cam.state.DeviceOpen()) return 1;
  uint8_t request = 0;
  if (first != 0 && second != 0) {
    request = kReqGuideStopBoth;
  } else if (first != 0) {
    request = kReqGuideStopFirst;
  } else if (second != 0) {
    request = kReqGuideStopSecond;
  }
  if (request != 0) {
    // The stop is an IN request: its two reply bytes are read and dropped.
    uint8_t reply[2] = {0, 0};
    ControlIn(cam, request, reply, sizeof reply, 0, 0);
  }
  return 0;
}

}  // namespace tarncam
