#pragma once
// Bayer demosaic: a W x H mosaic (plus one sample after it) becomes a
// W x (H - 1) colour image.

#include <cstdint>

#include "interface/camera_state.h"

namespace tarncam {

uint32_t debayerImage(const uint8_t* source, uint8_t* destination, uint32_t width,
                      uint32_t height);
uint32_t debayerImageW(const uint16_t* source, uint8_t* destination, uint32_t width,
                       uint32_t height);
uint32_t debayerImageFITBYTE(const uint8_t* source, uint8_t* destination, uint32_t width,
                             uint32_t height);
uint32_t debayerImageFITWORD(const uint16_t* source, uint16_t* destination, uint32_t width,
                             uint32_t height);
void debayerBuffer(CameraState& s, uint8_t* destination, uint32_t width, uint32_t height);

}  // namespace tarncam
