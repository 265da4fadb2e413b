#include "usb/link.h"

namespace tarncam {
namespace {

// The book is held for a few loads and stores; a spin lock keeps it free of
// any runtime dependency (the DLL's threading model has no std::mutex).
class BookLock {
 public:
  explicit BookLock(LinkBook& b) : book(b) {
    while (book.busy.exchange(true, std::memory_order_acquire)) {
      while (book.busy.load(std::memory_order_relaxed)) {
      }
    }
  }
  ~BookLock() { book.busy.store(false, std::memory_order_release); }

 private:
  LinkBook& book;
};

void CloseAndFree(Camera& cam, Handle device, Handle usb) {
  if (device != kInvalidHandle || usb != kInvalidHandle) cam.usb().Close(device, usb);
}

// Drops one user of retired handles; the last one out releases them.
void LeaveRetired(Camera& cam, uint32_t generation) {
  CameraState& s = cam.state;
  Handle device = kInvalidHandle;
  Handle usb = kInvalidHandle;
  {
    BookLock lock(s.link);
    for (LinkBook::Retired& r : s.link.retired) {
      if (r.used && r.generation == generation) {
        if (--r.users == 0) {
          device = r.device;
          usb = r.usb;
          r = LinkBook::Retired{};
        }
        break;
      }
    }
  }
  CloseAndFree(cam, device, usb);
}

}  // namespace

LinkLease::LinkLease(Camera& c) : cam(c) {
  CameraState& s = cam.state;
  BookLock lock(s.link);
  if (s.deviceHandle.load(std::memory_order_relaxed) == kInvalidHandle) return;
  held = true;
  usbHandle = s.usbHandle;
  generation = s.link.generation;
  ++s.link.users;
}

bool LinkLease::Current() const {
  if (!held) return false;
  CameraState& s = cam.state;
  BookLock lock(s.link);
  return generation == s.link.generation &&
         s.deviceHandle.load(std::memory_order_relaxed) != kInvalidHandle;
}

LinkLease::~LinkLease() {
  if (!held) return;
  CameraState& s = cam.state;
  {
    BookLock lock(s.link);
    if (generation == s.link.generation) {
      --s.link.users;
      return;
    }
  }
  // The last transfer on handles closed meanwhile releases them.
  LeaveRetired(cam, generation);
}

void AdoptDeviceHandle(Camera& cam, Handle device) {
  CameraState& s = cam.state;
  BookLock lock(s.link);
  s.deviceHandle.store(device, std::memory_order_release);
}

void AdoptInterfaceHandle(Camera& cam, Handle usb) {
  CameraState& s = cam.state;
  BookLock lock(s.link);
  s.usbHandle = usb;
}

void ReleaseDevice(Camera& cam) {
  CameraState& s = cam.state;
  for (;;) {
    Handle device = kInvalidHandle;
    Handle usb = kInvalidHandle;
    bool retired = false;
    bool noSlot = false;
    uint32_t generation = 0;
    {
      BookLock lock(s.link);
      device = s.deviceHandle.load(std::memory_order_relaxed);
      usb = s.usbHandle;
      generation = s.link.generation;
      if (s.link.users != 0) {
        // Transfers are still running on these handles: retire them, and the
        // last of those transfers releases them. This close counts as one
        // more user while it cancels them, so the handles outlive the cancel.
        LinkBook::Retired* slot = nullptr;
        for (LinkBook::Retired& r : s.link.retired)
          if (!r.used) slot = &r;
        if (slot != nullptr) {
          *slot = LinkBook::Retired{generation, s.link.users + 1, device, usb, true};
          retired = true;
        } else {
          noSlot = true;
        }
      }
      if (!noSlot) {
        s.deviceHandle.store(kInvalidHandle, std::memory_order_release);
        s.usbHandle = kInvalidHandle;
        s.link.users = 0;
        ++s.link.generation;
      }
    }
    if (noSlot) {
      // Every slot holds handles of earlier closes whose transfers are still
      // running; those end within their pipe timeouts. Wait for one.
      cam.sys().SleepAlertable(1);
      continue;
    }
    if (!retired) {
      CloseAndFree(cam, device, usb);
      return;
    }
    // A frame read pending on a closed device must not run on to its
    // timeout: end it now (where the platform can; the readout, seeing the
    // device closed, then stops without a retry).
    if (usb != kInvalidHandle) cam.usb().CancelForClose(usb);
    LeaveRetired(cam, generation);
    return;
  }
}

}  // namespace tarncam
