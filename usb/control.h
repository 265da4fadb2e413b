#pragma once
// Control transfers and the exports that are a single request each.

#include <cstdint>

#include "interface/camera_state.h"

namespace tarncam {

// Internal transfer results: the inverse of the platform's boolean.
enum TransferResult : uint32_t { kTransferOk = 0, kTransferFailed = 1 };

// One control transfer with every setup field given. Note the argument order:
// index before value. With no device open nothing is sent and the transfer
// counts as failed.
uint32_t ControlTransfer(Camera& cam, uint8_t requestType, uint8_t request, uint8_t* data,
                         uint32_t length, uint16_t index, uint16_t value);
uint32_t ControlOut(Camera& cam, uint8_t request, uint8_t* data, uint32_t length, uint16_t index,
                    uint16_t value);
uint32_t ControlIn(Camera& cam, uint8_t request, uint8_t* data, uint32_t length, uint16_t index,
                   uint16_t value);

uint32_t SendRegister(Camera& cam, uint32_t index, uint32_t value);
uint32_t CameraReset(Camera& cam);
uint32_t GetVIDPID(Camera& cam);
uint32_t DEBUG(Camera& cam, uint32_t queryCode);

}  // namespace tarncam
