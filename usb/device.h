#pragma once
// Finding, opening and closing the camera, and the exposure abort.

#include <cstdint>

#include "interface/camera_state.h"

namespace tarncam {

inline constexpr const char* kErrorCaption = "CMOS CAMERA ERROR";
inline constexpr const char* kUnknownCameraText = "Unknown camera detetcted";
inline constexpr const char* kFirmwareMismatchFormat =
    "Incompatible Camera Firmware version detected\n\n\tFound\t%d\n\tExpecting\t%d ";

uint32_t FindDevicePath(Camera& cam);
void CloseDeviceHandle(Camera& cam);
void OpenDevice(Camera& cam);
uint32_t checkdevice(Camera& cam);
uint32_t openUSB(Camera& cam);
uint32_t CancelExposure(Camera& cam);
void closeUSB(Camera& cam);

}  // namespace tarncam
