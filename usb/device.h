#pragma once
// Finding, opening and closing the camera, and the exposure abort. These
// report what happened; the exported functions turn that into their fixed
// results and the one message box.

#include <cstdint>

#include "core/camera_state.h"

namespace tarncam {

// What OpenCamera ended with.
enum class OpenStatus : uint8_t {
  kOpened,          // open, with its controller programmed
  kNotFound,        // no camera present
  kFailed,          // found, but the open or the interface claim failed (see `usb`)
  kStillBlank,      // the controller stayed blank after two firmware downloads
  kReadoutRunning,  // a readout of the previous session did not end in time
};

struct OpenResult {
  OpenStatus status = OpenStatus::kNotFound;
  UsbResult usb;          // kFailed: what the open or the claim reported
  uint16_t vendorId = 0;  // from the device descriptor, when it was read
  uint16_t productId = 0;
};

// Stores the path of the first camera the platform finds in devicePath.
// Returns 1 when one was found, 0 when none.
uint32_t FindDevicePath(Camera& cam);

// Opens the camera at `path`, or when `path` is null the first one found,
// in at most two attempts: a blank controller gets the firmware, is released
// and waited for (5 s) while it restarts, and is opened again. A device
// already open is released first, and a readout of the previous session
// still running is waited for (bounded; see AbandonedReadoutWaitMs).
OpenResult OpenCamera(Camera& cam, const char* path);

// Releases the device's handles (the interface goes with the device) and
// marks no device open. Transfers still running keep theirs until they end.
void ReleaseCamera(Camera& cam);

// Writes the abort byte on the bulk OUT pipe: the camera ends its pending
// frame transfer short. With no device open nothing is sent (kNotOpen).
UsbResult SendAbort(Camera& cam);

// Ends the transfers pending on the open device at once, on the host's side:
// they report kCancelled (where the USB backend can cancel; others end by
// the camera's answer or their timeout). The camera is told nothing.
void CancelPendingTransfers(Camera& cam);

// What a look at a camera without opening it for use tells.
struct ProbeResult {
  UsbResult usb;                // the open, claim or descriptor read that failed
  bool blank = false;           // the controller has no firmware
  uint32_t identification = 0;  // programmed controllers only
  uint16_t vendorId = 0;
  uint16_t productId = 0;
};

// Opens the camera at `path` just long enough to read its device descriptor
// and, when its controller is programmed, its identification word, then
// releases it. Downloads nothing and programs nothing. `cam` must have no
// device open.
ProbeResult ProbeCamera(Camera& cam, const char* path);

// Ends the session: with an exposure running, sends the abort, waits 500 ms
// for the readout to wind down and clears `exposing` (a readout that has not
// ended by then is abandoned: it ends on its own thread later); then
// releases the device.
void CloseCamera(Camera& cam);

// The longest a readout abandoned by CloseCamera can still run: the read in
// flight (the exposure the camera times plus the 1 s margin of its timeout)
// or a controller reset in progress, plus a margin. The device is released,
// so it starts no further read.
uint32_t AbandonedReadoutWaitMs(const CameraState& s);

}  // namespace tarncam
