#pragma once
// The native USB backend: libusb-1.0 finds the camera by its USB IDs, opens
// it and moves every transfer. Only what libusb offers is used, so the
// backend builds wherever libusb runs; it is tested on Linux.
//
// Transfers are asynchronous underneath: each one is submitted, and the
// calling thread handles libusb's events until its own transfer completes
// (as libusb's synchronous calls do), so no event thread is needed and
// CancelTransfers can end a pending frame read from any thread. A frame read
// is one transfer straight into the caller's buffer.
//
// Which devices count as the camera: the build's two USB IDs (the blank
// controller's and the camera's), or the list in TARNCAM_USB_IDS; which of
// several: the first in bus and port order, or the one TARNCAM_DEVICE names.
// Configure overrides both at run time.

#include <mutex>

#include "platform/usb_transport.h"

namespace tarncam {

class LibusbTransport final : public UsbTransport {
 public:
  constexpr LibusbTransport() = default;
  // libusb is started on first use and never stopped: detached readout
  // workers may still be inside it when the program exits.
  ~LibusbTransport() override = default;

  bool FindFirstDevice(char* path, uint32_t capacity) override;
  uint32_t ListDevices(DeviceInfo* out, uint32_t capacity) override;
  Handle Open(const char* path, UsbResult* why) override;
  UsbResult ClaimInterface(Handle device, Handle* usb) override;
  void Close(Handle device, Handle usb) override;
  UsbResult EnableStallRecovery(Handle usb, uint8_t pipe) override;
  UsbResult SetTransferTimeout(Handle usb, uint8_t pipe, uint32_t ms) override;
  UsbResult ControlTransfer(Handle usb, const SetupPacket& setup, uint8_t* data,
                            uint32_t length) override;
  UsbResult ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                     uint32_t* transferred) override;
  UsbResult WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                      uint32_t* transferred) override;
  // Ends every transfer pending on the device of `usb` at once, and refuses
  // later ones on it: the library calls this only when it closes the device
  // under a running transfer.
  void CancelTransfers(Handle usb) override;
  void CancelForClose(Handle usb) override;

  // Replaces the identity ("vvvv:pppp,...") and the choice of camera
  // ("1-2.3", "serial:TEXT"; "" the first) that the environment set. A null
  // argument leaves that setting as it is; "" for the identity restores the
  // build's. Returns false, changing nothing, when either does not parse.
  bool Configure(const char* ids, const char* device);

 private:
  class Backend;
  Backend& Get();

  std::once_flag started;
  Backend* backend = nullptr;
};

}  // namespace tarncam
