#pragma once
// The USB part of a camera's record: the open device's handles, its pipes and
// path, the bookkeeping that keeps handles alive for the transfers still on
// them, and why the last open found no camera. Constant-initialised like the
// record it is part of.

#include <atomic>
#include <cstdint>

#include "platform/handles.h"
#include "platform/usb_transport.h"

namespace tarncam {

// Bookkeeping that lets a closed device's handles outlive the transfers still
// running on them (a readout abandoned by closeUSB may sit in a bulk read for
// seconds). Guarded by `busy`, a spin lock held for a few instructions only.
struct LinkBook {
  struct Retired {
    uint32_t generation;
    uint32_t users;
    Handle device;
    Handle usb;
    bool used;
  };
  static constexpr int kRetiredSlots = 4;

  std::atomic<bool> busy{false};
  uint32_t generation = 0;  // of the handles now in deviceHandle/usbHandle
  uint32_t users = 0;       // transfers in flight on them
  Retired retired[kRetiredSlots]{};
};

struct LinkState {
  // deviceHandle is read by the readout worker while the caller may close the
  // device, hence atomic; usbHandle is only touched under link.busy.
  std::atomic<Handle> deviceHandle{kInvalidHandle};
  Handle usbHandle = kInvalidHandle;
  uint32_t devicePathSize = kDevicePathCapacity;
  char devicePath[kDevicePathCapacity]{};
  uint8_t pipeIn = 0;
  uint8_t pipeOut = 0;
  LinkBook link;
  // Why the last OpenDevice ended without a camera (kOk when it opened
  // one): for native clients, which tell "not there" from "no permission"
  // or "in use". Written by the opening thread only.
  UsbResult lastOpen = UsbResult::Fail(UsbStatus::kNoDevice);

  bool DeviceOpen() const {
    return deviceHandle.load(std::memory_order_acquire) != kInvalidHandle;
  }
};

}  // namespace tarncam
