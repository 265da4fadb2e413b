#pragma once
// Control transfers, and the requests that are one control transfer each.
// Every operation returns what became of its transfer; callers that report
// no more than "sent or not" turn it into a TransferResult.

#include <cstdint>

#include "core/camera_state.h"

namespace tarncam {

// The exported interface's transfer results: the inverse of the platform's
// boolean.
enum TransferResult : uint32_t { kTransferOk = 0, kTransferFailed = 1 };

inline uint32_t ToTransferResult(const UsbResult& r) {
  return r.ok() ? kTransferOk : kTransferFailed;
}

// The outcome of a transfer that was not sent because no device is open.
inline constexpr UsbResult kNotOpen = UsbResult::Fail(UsbStatus::kNoDevice);

// One control transfer with every setup field given, in the setup packet's
// order: value, index, then the data stage. With no device open nothing is
// sent and the result is kNotOpen.
UsbResult ControlTransfer(Camera& cam, uint8_t requestType, uint8_t request, uint16_t value,
                          uint16_t index, uint8_t* data, uint32_t length);
UsbResult ControlOut(Camera& cam, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                     uint32_t length);
UsbResult ControlIn(Camera& cam, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                    uint32_t length);

// Sets one sensor register (request 0x30, no data stage).
UsbResult WriteSensorRegister(Camera& cam, uint16_t index, uint16_t value);

// Asks the camera to reset itself (request 0x20 with its one data byte).
UsbResult SendCameraReset(Camera& cam);

// Reads the four identification bytes (request 0x26, index 1..4, index 1 in
// bits 0..7). A byte whose read fails stays 0; the result is the first
// failure, or success.
UsbResult ReadIdentification(Camera& cam, uint32_t* word);

// Asks the camera query `code` (request 0x55, index = the code's low 16
// bits). The reply buffer starts out holding the code, so a failed or short
// reply leaves those bytes in *reply.
UsbResult QueryCamera(Camera& cam, uint32_t code, uint32_t* reply);

}  // namespace tarncam
