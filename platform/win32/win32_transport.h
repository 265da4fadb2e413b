#pragma once
// The Windows USB backend: device-setup services find the camera's device
// interface (by the build's interface class GUID), CreateFileA opens the
// device and WinUSB moves every transfer.

#include "platform/usb_transport.h"

namespace tarncam {

class Win32Transport final : public UsbTransport {
 public:
  constexpr Win32Transport() = default;
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
  // WinUSB reads in this library are synchronous and end by the camera's
  // answer or their pipe timeout; nothing is cancelled from outside, on a
  // stop or on a close (CancelForClose keeps the default, this no-op). The
  // cancel cases of the USB contract do not apply here.
  void CancelTransfers(Handle) override {}
};

}  // namespace tarncam
