#pragma once
// The last frame in six output formats.

#include <cstdint>

#include "interface/camera_state.h"

namespace tarncam {

inline constexpr uint32_t kFullFrameSamples = kSensorWidth * kSensorHeight;  // 360,960

uint32_t SETBUFFERMODE(CameraState& s, uint32_t mode);
// Result: the destination (modes 0 and 1), 0 (modes 2, 3 and 5), 479 (mode 4).
std::uintptr_t GETBUFFER(CameraState& s, uint8_t* destination, uint32_t length);
uint8_t* getbufptr(CameraState& s);
void* bufferCopy(const void* source, void* destination, uint32_t count);
void WidenFrame(CameraState& s);

constexpr uint32_t SwapBytes16(uint32_t value) {
  return ((value >> 8) & 0xFF) | ((value & 0xFF) << 8);
}

}  // namespace tarncam
