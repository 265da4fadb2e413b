#pragma once
// Safe use of the open device's handles from more than one thread.
//
// Every transfer holds a LinkLease on the handles it uses. Closing the device
// (ReleaseDevice) marks it closed at once, so no new transfer starts; handles
// that a transfer still holds are released by that transfer when it ends
// instead. A readout abandoned by closeUSB, still waiting in its bulk read,
// thus never uses a released handle.

#include "core/camera_state.h"

namespace tarncam {

class LinkLease {
 public:
  explicit LinkLease(Camera& cam);
  ~LinkLease();
  LinkLease(const LinkLease&) = delete;
  LinkLease& operator=(const LinkLease&) = delete;

  // False when no device was open: nothing may be sent.
  explicit operator bool() const { return held; }
  Handle usb() const { return usbHandle; }

  // True while the device these handles belong to is still open (no close
  // has happened since the lease was taken).
  bool Current() const;

 private:
  Camera& cam;
  Handle usbHandle = kInvalidHandle;
  uint32_t generation = 0;
  bool held = false;
};

// Stores the handles of a newly opened device (the device handle as the open
// returned it; the interface handle once bound).
void AdoptDeviceHandle(Camera& cam, Handle device);
void AdoptInterfaceHandle(Camera& cam, Handle usb);

// Releases the device's handles through the transport (the valid ones, in
// the order the platform needs) and marks the device closed. Where transfers still
// hold the handles, the last of them releases them.
void ReleaseDevice(Camera& cam);

}  // namespace tarncam
