#pragma once
// What each of the 36 exported functions does, on any camera: the exports in
// exports.cpp bind these to the one module-wide camera. Each turns what the
// core reports into the export's fixed result, and the firmware check shows
// the library's one message box. The image conversions, which need no
// camera, are in image/.

#include <cstdint>

#include "core/camera_state.h"

namespace tarncam::exports {

inline constexpr const char* kErrorCaption = "CMOS CAMERA ERROR";
inline constexpr const char* kUnknownCameraText = "Unknown camera detetcted";
inline constexpr const char* kFirmwareMismatchFormat =
    "Incompatible Camera Firmware version detected\n\n\tFound\t%d\n\tExpecting\t%d ";

// Settings: they only store.
void Subframe(CameraState& s, uint32_t width, uint32_t height);
void DynamicRange(CameraState& s, uint32_t depth);
uint32_t ADCRef(CameraState& s, uint32_t level);  // the level, or 0 when refused
inline uint32_t VerticalFlip(CameraState& s, Switch on) { return s.verticalFlip = on; }
inline uint32_t HorizontalFlip(CameraState& s, Switch on) { return s.horizontalFlip = on; }
inline uint32_t SetAGC(CameraState& s, Switch on) { return s.agc = on; }
inline uint32_t SetCompanding(CameraState& s, Switch on) { return s.companding = on; }
inline uint32_t RowNoise(CameraState& s, Switch on) { return s.rowNoise = on; }
inline uint32_t SetDigitalGain(CameraState& s, uint32_t value) { return s.digitalGain = value; }

// Device.
void OpenDevice(Camera& cam);
uint32_t checkdevice(Camera& cam);
uint32_t openUSB(Camera& cam);
void closeUSB(Camera& cam);
uint32_t CancelExposure(Camera& cam);
uint32_t CameraReset(Camera& cam);
uint32_t SendRegister(Camera& cam, uint32_t index, uint32_t value);
uint32_t GetVIDPID(Camera& cam);
uint32_t DEBUG(Camera& cam, uint32_t queryCode);

// Programming and exposure.
uint32_t ProgramCamera(Camera& cam, uint32_t exposure, uint32_t gain, uint32_t offset,
                       uint32_t extraValue);
uint32_t Exposure(Camera& cam, uint8_t* destination);
std::uintptr_t ThreadedExposure(Camera& cam, uint8_t* destination);
uint32_t isExposing(const CameraState& s);
Handle ExposureSemaphore(CameraState& s, Handle semaphore);

// Guide port.
uint32_t GuideCommandXY(Camera& cam, uint32_t direction, int32_t first, int32_t second);
uint32_t GuideCommand(Camera& cam, uint32_t direction, int32_t duration);
uint32_t CancelGuide(Camera& cam, uint32_t first, uint32_t second);

}  // namespace tarncam::exports
