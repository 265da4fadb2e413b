#include "usb/control.h"

#include "usb/link.h"
#include "usb/requests.h"

namespace tarncam {

UsbResult ControlTransfer(Camera& cam, uint8_t requestType, uint8_t request, uint16_t value,
                          uint16_t index, uint8_t* data, uint32_t length) {
  LinkLease lease(cam);
  if (!lease) return kNotOpen;  // no device: nothing is sent
  const SetupPacket setup{requestType, request, value, index, static_cast<uint16_t>(length)};
  return cam.usb().ControlTransfer(lease.usb(), setup, data, length);
}

UsbResult ControlOut(Camera& cam, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                     uint32_t length) {
  return ControlTransfer(cam, kVendorOut, request, value, index, data, length);
}

UsbResult ControlIn(Camera& cam, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                    uint32_t length) {
  return ControlTransfer(cam, kVendorIn, request, value, index, data, length);
}

UsbResult WriteSensorRegister(Camera& cam, uint16_t index, uint16_t value) {
  return ControlOut(cam, kReqSetRegister, value, index, nullptr, 0);
}

UsbResult SendCameraReset(Camera& cam) {
  uint8_t byte = kReqReset;  // the request's one data byte repeats its code
  return ControlOut(cam, kReqReset, 0, 0, &byte, 1);
}

UsbResult ReadIdentification(Camera& cam, uint32_t* word) {
  UsbResult first = UsbResult::Ok();
  uint32_t w = 0;
  for (uint16_t n = 1; n <= 4; ++n) {
    uint8_t byte = 0;
    const UsbResult r = ControlIn(cam, kReqIdentify, 0, n, &byte, 1);
    if (!r.ok() && first.ok()) first = r;
    w |= static_cast<uint32_t>(byte) << (8 * (n - 1));
  }
  *word = w;
  return first;
}

UsbResult QueryCamera(Camera& cam, uint32_t code, uint32_t* reply) {
  uint8_t bytes[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                      static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
  const UsbResult r = ControlIn(cam, kReqQuery, 0, static_cast<uint16_t>(code), bytes, 4);
  *reply = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return r;
}

}  // namespace tarncam
