#pragma once
// A USB backend with no camera attached: enumeration finds nothing and every
// transfer fails. The native library's default until a real backend is
// selected.

#include "platform/usb_transport.h"

namespace tarncam {

class NoDeviceTransport final : public UsbTransport {
 public:
  constexpr NoDeviceTransport() = default;
  bool FindInterfacePath(const Guid&, char*, uint32_t) override { return false; }
  Handle OpenPath(const char*) override { return kInvalidHandle; }
  bool Initialize(Handle, Handle*) override { return false; }
  void Free(Handle) override {}
  void CloseDevice(Handle) override {}
  bool SetPipePolicy(Handle, uint8_t, PipePolicy, uint32_t, const void*) override { return false; }
  bool ControlTransfer(Handle, const SetupPacket&, uint8_t*, uint32_t) override { return false; }
  bool ReadPipe(Handle, uint8_t, uint8_t*, uint32_t, uint32_t* transferred) override {
    if (transferred != nullptr) *transferred = 0;
    return false;
  }
  bool WritePipe(Handle, uint8_t, const uint8_t*, uint32_t, uint32_t* transferred) override {
    if (transferred != nullptr) *transferred = 0;
    return false;
  }
};

}  // namespace tarncam
