// Native-only extras beside the 36 exports.

#include "tarncam/tarncam_native.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "exports/default_camera.h"
#include "platform/path_copy.h"
#include "platform/posix/builtin_usb.h"

static_assert(TARNCAM_LAST_FRAME_NONE == tarncam::kFrameNone &&
              TARNCAM_LAST_FRAME_COMPLETE == tarncam::kFrameComplete &&
              TARNCAM_LAST_FRAME_SHORT == tarncam::kFrameShort &&
              TARNCAM_LAST_FRAME_FAILED == tarncam::kFrameFailed &&
              TARNCAM_LAST_FRAME_UNCONFIRMED == tarncam::kFrameUnconfirmed);

extern "C" {

const char* tarncam_device_path(void) { return tarncam::DefaultCamera().state.devicePath; }

void tarncam_read_counters(uint32_t* attempted, uint32_t* failed) {
  const tarncam::CameraState& s = tarncam::DefaultCamera().state;
  if (attempted != nullptr) *attempted = s.readsAttempted.load(std::memory_order_relaxed);
  if (failed != nullptr) *failed = s.readsFailed.load(std::memory_order_relaxed);
}

uint32_t tarncam_usb_list(tarncam_usb_device* out, uint32_t capacity) {
  // The backend's own list, not the exported platform's: the simulator,
  // when attached, is not a camera plugged in.
  tarncam::LibusbTransport& usb = tarncam::BuiltinUsb();
  // The room is sized by what is present, not by what the caller offers
  // (any capacity is fine, with or without a list), and no exception leaves
  // this C function: short of memory, nothing is listed.
  if (out == nullptr) capacity = 0;
  try {
    std::vector<tarncam::DeviceInfo> found;
    uint32_t count = usb.ListDevices(nullptr, 0);
    if (capacity != 0 && count != 0) {
      found.resize(std::min(capacity, count));
      count = usb.ListDevices(found.data(), static_cast<uint32_t>(found.size()));
    }
    for (uint32_t i = 0; i < count && i < found.size(); ++i) {
      const tarncam::DeviceInfo& d = found[i];
      tarncam_usb_device& o = out[i];
      tarncam::CopyPathBounded(d.path, o.path, sizeof o.path);
      tarncam::CopyPathBounded(d.location, o.location, sizeof o.location);
      tarncam::CopyPathBounded(d.serial, o.serial, sizeof o.serial);
      o.vendor_id = d.vendorId;
      o.product_id = d.productId;
      o.blank = d.blank;
    }
    return count;
  } catch (const std::exception&) {
    return 0;
  }
}

int tarncam_usb_select(const char* ids, const char* device) {
  return tarncam::BuiltinUsb().Configure(ids, device) ? 0 : -1;
}

int tarncam_usb_open_status(int32_t* os_error) {
  using tarncam::UsbStatus;
  const tarncam::UsbResult r = tarncam::DefaultCamera().state.lastOpen;
  if (os_error != nullptr) *os_error = r.osError;
  switch (r.status) {
    case UsbStatus::kOk: return TARNCAM_USB_OK;
    case UsbStatus::kNoDevice: return TARNCAM_USB_NOT_FOUND;
    case UsbStatus::kAccess: return TARNCAM_USB_NO_ACCESS;
    case UsbStatus::kBusy: return TARNCAM_USB_BUSY;
    default: return TARNCAM_USB_FAILED;
  }
}

uint32_t tarncam_last_frame(uint32_t* received, uint32_t* expected) {
  const tarncam::CameraState& s = tarncam::DefaultCamera().state;
  if (received != nullptr) *received = s.lastFrameReceived.load(std::memory_order_relaxed);
  if (expected != nullptr) *expected = s.lastFrameExpected.load(std::memory_order_relaxed);
  return s.lastFrameOutcome.load(std::memory_order_relaxed);
}

}  // extern "C"
