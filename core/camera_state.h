#pragma once
// A camera's whole state, and what every operation of the library is given.
// The record is one plain struct per camera, statically allocated for the
// exported interface and constant-initialised (no constructor runs at load).
// Each layer owns its part of it: the sensor's settings and geometry
// (sensor/sensor_state.h), the USB link (usb/link_state.h) and the exposure
// hand-off and buffers (capture/capture_state.h). The record inherits the
// parts, so a field reads the same on the whole record as on its part, and
// an operation that needs one part only can take that part.

#include <atomic>
#include <cstdint>

#include "capture/capture_state.h"
#include "platform/system_services.h"
#include "platform/usb_transport.h"
#include "sensor/sensor_state.h"
#include "tarncam_build_config.h"
#include "usb/link_state.h"

namespace tarncam {

struct CameraState : SensorState, LinkState, CaptureState {
  // The camera API's stop (null for the exported functions): once it reads
  // nonzero, the settle after a register block and a retry's controller
  // restart stop waiting (ProtocolWait). The exports keep their full waits.
  const std::atomic<uint32_t>* waitStop = nullptr;
};

// The platform a camera is reached through.
struct Platform {
  UsbTransport* usb;
  SystemServices* system;
  // Whether the readout still retries, through controller resets, a read
  // that failed because the camera left the bus. The DLL does, as its
  // callers know it; the native library ends the readout at once, since no
  // reset can reach a camera that is gone.
  bool retryLostDevice = true;
  // How much longer than the fixed 5 s after a firmware download the open
  // looks for the controller to come back. The DLL does not (0), as its
  // callers know it; natively a slow controller is given this long.
  uint32_t renumerationGraceMs = 0;
};

// What every operation of the library is given: one camera's state and its
// platform. The exported interface binds one static pair; a native client may
// run several side by side.
struct Camera {
  CameraState& state;
  Platform& platform;

  UsbTransport& usb() const { return *platform.usb; }
  SystemServices& sys() const { return *platform.system; }
};

// One of the protocol's fixed waits (the settle, a controller restart): in
// full, unless the camera's waitStop is set or gets set meanwhile. Returns
// whether the stop cut it short.
inline bool ProtocolWait(Camera& cam, uint32_t ms) {
  const std::atomic<uint32_t>* stop = cam.state.waitStop;
  if (stop == nullptr) {
    cam.sys().SleepAlertable(ms);
    return false;
  }
  return cam.sys().SleepUnless(*stop, ms);
}

}  // namespace tarncam
