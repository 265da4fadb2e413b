#include "usb/device.h"

#include <cstdio>
#include <cstring>

#include "usb/control.h"
#include "usb/firmware.h"
#include "usb/link.h"
#include "usb/requests.h"

namespace tarncam {
namespace {

constexpr int kMaxOpenAttempts = 2;
constexpr uint32_t kRenumerationWaitMs = 5000;  // a freshly loaded controller reappears
constexpr uint32_t kAbortSettleMs = 500;

}  // namespace

uint32_t FindDevicePath(Camera& cam) {
  CameraState& s = cam.state;
  return cam.usb().FindFirstDevice(s.devicePath, s.devicePathSize) ? 1 : 0;
}

void CloseDeviceHandle(Camera& cam) {
  // The interface handle belongs to the device: it goes with it, right after
  // the device handle is closed.
  ReleaseDevice(cam);
}

void OpenDevice(Camera& cam) {
  CameraState& s = cam.state;
  // Opening over an open device would lose its handles; release them first.
  if (s.DeviceOpen()) CloseDeviceHandle(cam);

  bool downloaded = false;
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    if (FindDevicePath(cam) == 0) break;
    // Stored as returned: a failed open stores the invalid handle, and the
    // interface binding below then fails.
    AdoptDeviceHandle(cam, cam.usb().Open(s.devicePath, nullptr));
    Handle usb = kInvalidHandle;
    if (!cam.usb().ClaimInterface(s.deviceHandle.load(std::memory_order_relaxed), &usb).ok()) break;
    AdoptInterfaceHandle(cam, usb);

    // A failed descriptor read must count as a programmed controller, so the
    // serial-number index starts out nonzero rather than the result being
    // examined.
    uint8_t descriptor[kDeviceDescriptorLength];
    std::memset(descriptor, 0xFF, sizeof descriptor);
    ControlTransfer(cam, kStandardIn, kReqGetDescriptor, descriptor, kDeviceDescriptorLength, 0,
                    kDeviceDescriptorValue);

    if (descriptor[kSerialNumberIndexOffset] == 0) {
      // Blank controller: give it the firmware, let it restart and present
      // itself afresh, then enumerate again.
      LoadFirmware(cam);
      downloaded = true;
      CloseDeviceHandle(cam);
      cam.sys().SleepAlertable(kRenumerationWaitMs);
      continue;
    }

    s.pipeIn = kPipeIn;
    s.pipeOut = kPipeOut;
    // A controller that has just taken its program starts the sensor with
    // its power-on settings (a camera that was unplugged comes back blank),
    // whatever lastBlock says was sent before: the next programming sends.
    if (downloaded) s.forceResend = 1;
    LinkLease lease(cam);
    if (lease) {
      cam.usb().EnableStallRecovery(lease.usb(), s.pipeIn);
      cam.usb().EnableStallRecovery(lease.usb(), s.pipeOut);
    }
    return;
  }
  CloseDeviceHandle(cam);
}

uint32_t checkdevice(Camera& cam) {
  OpenDevice(cam);
  if (!cam.state.DeviceOpen()) return 0;
  CloseDeviceHandle(cam);
  return 1;
}

uint32_t openUSB(Camera& cam) {
  closeUSB(cam);
  OpenDevice(cam);
  if (!cam.state.DeviceOpen()) return 0;

  const uint32_t version = DEBUG(cam, kVersionQuery);
  if (version == kExpectedFirmware) return 1;

  char text[128];
  if (version == kUnknownCameraReply) {
    std::snprintf(text, sizeof text, "%s", kUnknownCameraText);
  } else {
    std::snprintf(text, sizeof text, kFirmwareMismatchFormat, static_cast<int>(version),
                  static_cast<int>(kExpectedFirmware));
  }
  cam.sys().ShowMessage(text, kErrorCaption);
  CloseDeviceHandle(cam);
  return 0;
}

uint32_t CancelExposure(Camera& cam) {
  LinkLease lease(cam);
  if (!lease) return 0;  // no device: nothing is sent
  const uint8_t abort = kAbortByte;
  uint32_t written = 0;
  return cam.usb().WritePipe(lease.usb(), cam.state.pipeOut, &abort, 1, &written).ok() ? 1 : 0;
}

void closeUSB(Camera& cam) {
  CameraState& s = cam.state;
  if (s.exposing.load(std::memory_order_acquire) != 0) {
    // The abort ends the camera's pending transfer; the readout winds down
    // on its own thread. This wait is the only coordination with it.
    CancelExposure(cam);
    cam.sys().SleepAlertable(kAbortSettleMs);
    s.exposing.store(0, std::memory_order_release);
  }
  CloseDeviceHandle(cam);
}

}  // namespace tarncam
