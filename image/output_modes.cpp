// Stand-in until the output conversions land.
#include "image/output_modes.h"

#include <cstring>

namespace tarncam {

uint32_t SETBUFFERMODE(CameraState& s, uint32_t mode) {
  s.bufferMode = mode < 5 ? mode : 5;
  return 0;
}
std::uintptr_t GETBUFFER(CameraState&, uint8_t*, uint32_t) { return 0; }
uint8_t* getbufptr(CameraState& s) { return s.rawBuffer.data(); }
void* bufferCopy(const void* source, void* destination, uint32_t count) {
  std::memmove(destination, source, count);
  return destination;
}
void WidenFrame(CameraState&) {}

}  // namespace tarncam
