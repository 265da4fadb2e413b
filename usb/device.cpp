#include "usb/device.h"

#include <algorithm>
#include <cstring>

#include "platform/path_copy.h"
#include "usb/control.h"
#include "usb/firmware.h"
#include "usb/link.h"
#include "usb/requests.h"
#include "usb/timing.h"

namespace tarncam {
namespace {

constexpr int kMaxOpenAttempts = 2;

// Bounds of what an abandoned readout may still be doing: a controller
// restart is the hold, then the restart (ResetAndReprogram).
constexpr uint64_t kResetMs = uint64_t{kResetHoldMs} + kRestartWaitMs;
static_assert(kResetMs == 3050);
constexpr uint64_t kWaitMarginMs = 1000;

}  // namespace

uint32_t FindDevicePath(Camera& cam) {
  CameraState& s = cam.state;
  return cam.usb().FindFirstDevice(s.devicePath, s.devicePathSize) ? 1 : 0;
}

void ReleaseCamera(Camera& cam) {
  // The interface handle belongs to the device: it goes with it, right after
  // the device handle is closed.
  ReleaseDevice(cam);
}

uint32_t AbandonedReadoutWaitMs(const CameraState& s) {
  const uint64_t ms = uint64_t{s.lastExposure} + kReadTimeoutMarginMs + kResetMs + kWaitMarginMs;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFEu));
}

namespace {

constexpr uint32_t kRenumerationPollMs = 100;

// Whether the camera at `path` (or, with no path, any camera) is on the bus.
bool DevicePresent(Camera& cam, const char* path) {
  if (path == nullptr) return FindDevicePath(cam) != 0;
  DeviceInfo found[8];
  const uint32_t n = cam.usb().ListDevices(found, 8);
  for (uint32_t i = 0; i < n && i < 8; ++i)
    if (std::strcmp(found[i].path, path) == 0) return true;
  return false;
}

// Opens the device at devicePath and claims its interface, adopting the
// handles. Returns the first thing that went wrong. A failed open is stored
// as returned (the invalid handle), and the claim on it then fails.
UsbResult OpenAndClaim(Camera& cam) {
  CameraState& s = cam.state;
  UsbResult why;
  AdoptDeviceHandle(cam, cam.usb().Open(s.devicePath, &why));
  Handle usb = kInvalidHandle;
  const UsbResult claimed =
      cam.usb().ClaimInterface(s.deviceHandle.load(std::memory_order_relaxed), &usb);
  if (!claimed.ok()) return why.ok() ? claimed : why;
  AdoptInterfaceHandle(cam, usb);
  return claimed;
}

// After the fixed wait, gives a controller that is slow to come back the
// platform's grace, looking every 100 ms.
void AwaitRenumeration(Camera& cam, const char* path) {
  for (uint32_t waited = 0; waited < cam.platform.renumerationGraceMs && !DevicePresent(cam, path);
       waited += kRenumerationPollMs)
    cam.sys().SleepAlertable(kRenumerationPollMs);
}

OpenResult OpenCameraOnce(Camera& cam, const char* path) {
  CameraState& s = cam.state;
  OpenResult result;
  // Opening over an open device would lose its handles; release them first.
  if (s.DeviceOpen()) ReleaseCamera(cam);

  // A readout that a close abandoned still reads into rawBuffer and, at its
  // end, writes its destination, clears `exposing` and signals: it must be
  // over before a new session can start an exposure.
  if (s.readoutsRunning.load(std::memory_order_acquire) != 0 &&
      !cam.sys().WaitForZero(s.readoutsRunning, AbandonedReadoutWaitMs(s))) {
    result.status = OpenStatus::kReadoutRunning;
    return result;
  }

  bool downloaded = false;
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    if (path != nullptr) {
      CopyPathBounded(path, s.devicePath, s.devicePathSize);
    } else if (FindDevicePath(cam) == 0) {
      result.status = OpenStatus::kNotFound;
      break;
    }
    if (const UsbResult failed = OpenAndClaim(cam); !failed.ok()) {
      result.status = OpenStatus::kFailed;
      result.usb = failed;
      break;
    }

    // A failed descriptor read must count as a programmed controller, so the
    // serial-number index starts out nonzero rather than the result being
    // examined.
    uint8_t descriptor[kDeviceDescriptorLength];
    std::memset(descriptor, 0xFF, sizeof descriptor);
    if (ControlTransfer(cam, kStandardIn, kReqGetDescriptor, kDeviceDescriptorValue, 0, descriptor,
                        kDeviceDescriptorLength)
            .ok()) {
      result.vendorId = static_cast<uint16_t>(descriptor[8] | descriptor[9] << 8);
      result.productId = static_cast<uint16_t>(descriptor[10] | descriptor[11] << 8);
    }

    if (descriptor[kSerialNumberIndexOffset] == 0) {
      // Blank controller: give it the firmware, let it restart and present
      // itself afresh, then enumerate again.
      LoadFirmware(cam);
      downloaded = true;
      ReleaseCamera(cam);
      cam.sys().SleepAlertable(kRenumerationWaitMs);
      result.status = OpenStatus::kStillBlank;
      if (attempt + 1 < kMaxOpenAttempts) AwaitRenumeration(cam, path);
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
    result.status = OpenStatus::kOpened;
    return result;
  }
  ReleaseCamera(cam);
  return result;
}

// Why no camera opened, in the platform's terms, for clients of the 36
// functions, which report nothing themselves.
UsbResult OpenFailure(const OpenResult& r) {
  switch (r.status) {
    case OpenStatus::kOpened: return UsbResult::Ok();
    case OpenStatus::kNotFound: return UsbResult::Fail(UsbStatus::kNoDevice);
    case OpenStatus::kFailed: return r.usb;
    case OpenStatus::kStillBlank: return UsbResult::Fail(UsbStatus::kIo);
    case OpenStatus::kReadoutRunning: return UsbResult::Fail(UsbStatus::kBusy);
  }
  return UsbResult::Fail(UsbStatus::kIo);
}

}  // namespace

OpenResult OpenCamera(Camera& cam, const char* path) {
  const OpenResult result = OpenCameraOnce(cam, path);
  cam.state.lastOpen = OpenFailure(result);
  return result;
}

UsbResult SendAbort(Camera& cam) {
  LinkLease lease(cam);
  if (!lease) return kNotOpen;  // no device: nothing is sent
  const uint8_t abort = kAbortByte;
  uint32_t written = 0;
  return cam.usb().WritePipe(lease.usb(), cam.state.pipeOut, &abort, 1, &written);
}

void CancelPendingTransfers(Camera& cam) {
  LinkLease lease(cam);
  if (lease) cam.usb().CancelTransfers(lease.usb());
}

ProbeResult ProbeCamera(Camera& cam, const char* path) {
  CameraState& s = cam.state;
  ProbeResult result;
  CopyPathBounded(path, s.devicePath, s.devicePathSize);
  result.usb = OpenAndClaim(cam);
  if (result.usb.ok()) {
    uint8_t descriptor[kDeviceDescriptorLength] = {};
    result.usb = ControlTransfer(cam, kStandardIn, kReqGetDescriptor, kDeviceDescriptorValue,
                                 0, descriptor, kDeviceDescriptorLength);
    if (result.usb.ok()) {
      result.vendorId = static_cast<uint16_t>(descriptor[8] | descriptor[9] << 8);
      result.productId = static_cast<uint16_t>(descriptor[10] | descriptor[11] << 8);
      result.blank = descriptor[kSerialNumberIndexOffset] == 0;
      // Only a running program answers the identification request.
      if (!result.blank) result.usb = ReadIdentification(cam, &result.identification);
    }
  }
  ReleaseCamera(cam);
  return result;
}

void CloseCamera(Camera& cam) {
  CameraState& s = cam.state;
  if (s.exposing.load(std::memory_order_acquire) != 0) {
    // The abort ends the camera's pending transfer; the readout winds down
    // on its own thread. This wait is the only coordination with it.
    SendAbort(cam);
    cam.sys().SleepAlertable(kAbortSettleMs);
    s.exposing.store(0, std::memory_order_release);
  }
  ReleaseCamera(cam);
}

}  // namespace tarncam
