#include "usb/firmware.h"

#include "usb/control.h"
#include "usb/requests.h"

namespace tarncam {
namespace {

void WriteCpuControl(Camera& cam, uint8_t byte) {
  ControlOut(cam, kReqFirmwareLoad, kCpuControlRegister, 0, &byte, 1);
}

}  // namespace

void LoadFirmware(Camera& cam, std::span<const FirmwareRecord> image) {
  WriteCpuControl(cam, 0x01);  // hold the CPU in reset
  cam.sys().SleepAlertable(100);
  for (const FirmwareRecord& r : image) {
    if (r.type != 0) break;  // the first record that is not data ends the walk, unsent
    uint8_t bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = r.data[i];
    const uint16_t address = static_cast<uint16_t>(r.address[0] | r.address[1] << 8);
    // A data record holds 1..16 bytes; a corrupt length never reads past it.
    const uint32_t length = r.length <= 16 ? r.length : 16;
    ControlOut(cam, kReqFirmwareLoad, address, 0, bytes, length);
  }
  cam.sys().SleepAlertable(100);
  // Releasing the reset runs the new program, which presents the controller
  // afresh: the device drops off the bus and comes back as the camera.
  WriteCpuControl(cam, 0x00);
}

}  // namespace tarncam
