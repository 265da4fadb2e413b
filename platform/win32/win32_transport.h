#pragma once
// The Windows USB backend: device-setup services to find the camera's device
// interface, CreateFileA for the device, WinUSB for every transfer.

#include "platform/usb_transport.h"

namespace tarncam {

class Win32Transport final : public UsbTransport {
 public:
  constexpr Win32Transport() = default;
  bool FindInterfacePath(const Guid& guid, char* path, uint32_t capacity) override;
  Handle OpenPath(const char* path) override;
  bool Initialize(Handle device, Handle* usb) override;
  void Free(Handle usb) override;
  void CloseDevice(Handle device) override;
  bool SetPipePolicy(Handle usb, uint8_t pipe, PipePolicy policy, uint32_t length,
                     const void* value) override;
  bool ControlTransfer(Handle usb, const SetupPacket& setup, uint8_t* data,
                       uint32_t length) override;
  bool ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                uint32_t* transferred) override;
  bool WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                 uint32_t* transferred) override;
};

}  // namespace tarncam
