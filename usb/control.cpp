#include "usb/control.h"

#include "usb/link.h"
#include "usb/requests.h"

namespace tarncam {

uint32_t ControlTransfer(Camera& cam, uint8_t requestType, uint8_t request, uint8_t* data,
                         uint32_t length, uint16_t index, uint16_t value) {
  LinkLease lease(cam);
  if (!lease) return kTransferFailed;  // no device: nothing is sent
  const SetupPacket setup{requestType, request, value, index, static_cast<uint16_t>(length)};
  // The platform reports success as true; transfers report it as 0.
  return cam.usb().ControlTransfer(lease.usb(), setup, data, length).ok() ? kTransferOk
                                                                           : kTransferFailed;
}

uint32_t ControlOut(Camera& cam, uint8_t request, uint8_t* data, uint32_t length, uint16_t index,
                    uint16_t value) {
  return ControlTransfer(cam, kVendorOut, request, data, length, index, value);
}

uint32_t ControlIn(Camera& cam, uint8_t request, uint8_t* data, uint32_t length, uint16_t index,
                   uint16_t value) {
  return ControlTransfer(cam, kVendorIn, request, data, length, index, value);
}

uint32_t SendRegister(Camera& cam, uint32_t index, uint32_t value) {
  return ControlOut(cam, kReqSetRegister, nullptr, 0, static_cast<uint16_t>(index),
                    static_cast<uint16_t>(value));
}

uint32_t CameraReset(Camera& cam) {
  uint8_t byte = kReqReset;  // the request's one data byte repeats its code
  return ControlOut(cam, kReqReset, &byte, 1, 0, 0);
}

uint32_t GetVIDPID(Camera& cam) {
  uint32_t word = 0;
  for (uint16_t n = 1; n <= 4; ++n) {
    // A byte whose read fails stays 0.
    uint8_t byte = 0;
    ControlIn(cam, kReqIdentify, &byte, 1, n, 0);
    word |= static_cast<uint32_t>(byte) << (8 * (n - 1));
  }
  return word;
}

uint32_t DEBUG(Camera& cam, uint32_t queryCode) {
  if (!cam.state.DeviceOpen()) return 0xFFFFFFFF;
  // The reply buffer starts out holding the code: a failed or short reply
  // leaves those bytes in the result.
  uint8_t reply[4] = {static_cast<uint8_t>(queryCode), static_cast<uint8_t>(queryCode >> 8),
                      static_cast<uint8_t>(queryCode >> 16), static_cast<uint8_t>(queryCode >> 24)};
  ControlIn(cam, kReqQuery, reply, 4, static_cast<uint16_t>(queryCode), 0);
  return static_cast<uint32_t>(reply[0]) | static_cast<uint32_t>(reply[1]) << 8 |
         static_cast<uint32_t>(reply[2]) << 16 | static_cast<uint32_t>(reply[3]) << 24;
}

}  // namespace tarncam
