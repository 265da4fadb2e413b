#pragma once
// A USB backend with no camera attached: enumeration finds nothing and every
// transfer fails. What a build without a USB backend falls back to.

#include "platform/usb_transport.h"

namespace tarncam {

class NoDeviceTransport final : public UsbTransport {
 public:
  constexpr NoDeviceTransport() = default;
  bool FindFirstDevice(char*, uint32_t) override { return false; }
  uint32_t ListDevices(DeviceInfo*, uint32_t) override { return 0; }
  Handle Open(const char*, UsbResult* why) override {
    if (why != nullptr) *why = Gone();
    return kInvalidHandle;
  }
  UsbResult ClaimInterface(Handle, Handle*) override { return Gone(); }
  void Close(Handle, Handle) override {}
  UsbResult EnableStallRecovery(Handle, uint8_t) override { return Gone(); }
  UsbResult SetTransferTimeout(Handle, uint8_t, uint32_t) override { return Gone(); }
  UsbResult ControlTransfer(Handle, const SetupPacket&, uint8_t*, uint32_t) override {
    return Gone();
  }
  UsbResult ReadPipe(Handle, uint8_t, uint8_t*, uint32_t, uint32_t* transferred) override {
    if (transferred != nullptr) *transferred = 0;
    return Gone();
  }
  UsbResult WritePipe(Handle, uint8_t, const uint8_t*, uint32_t, uint32_t* transferred) override {
    if (transferred != nullptr) *transferred = 0;
    return Gone();
  }
  void CancelTransfers(Handle) override {}

 private:
  static constexpr UsbResult Gone() { return UsbResult::Fail(UsbStatus::kNoDevice); }
};

}  // namespace tarncam
