// Stand-in until the demosaic lands.
#include "image/demosaic.h"

namespace tarncam {

uint32_t debayerImage(const uint8_t*, uint8_t*, uint32_t, uint32_t h) { return h - 1; }
uint32_t debayerImageW(const uint16_t*, uint8_t*, uint32_t, uint32_t h) { return h - 1; }
uint32_t debayerImageFITBYTE(const uint8_t*, uint8_t*, uint32_t, uint32_t h) { return h - 1; }
uint32_t debayerImageFITWORD(const uint16_t*, uint16_t*, uint32_t, uint32_t h) { return h - 1; }
void debayerBuffer(CameraState&, uint8_t*, uint32_t, uint32_t) {}

}  // namespace tarncam
