// The output formats of the last frame. The loops themselves live in the
// kernel tables (image_kernels.h); this file holds the rules around them:
// which buffer, how far, and when to widen.

#include "image/output_modes.h"

#include <cstring>

#include "image/demosaic.h"
#include "image/image_kernels.h"

namespace tarncam {
namespace {

// How far each source may be read, in the unit its modes count in.
constexpr uint32_t kRawBytes = kFrameBufferEntries;       // modes 1, 2
constexpr uint32_t kWideSamples = kFrameBufferEntries;    // modes 3, 5
constexpr uint32_t kWideBytes = 2 * kFrameBufferEntries;  // mode 0

constexpr uint32_t Clamp(uint32_t length, uint32_t limit) {
  return length < limit ? length : limit;
}

}  // namespace

uint32_t SETBUFFERMODE(CameraState& s, uint32_t mode) {
  s.bufferMode = mode < 5 ? mode : 5;
  return 0;
}

void WidenFrame(CameraState& s) {
  // Once per frame: the readout clears the flag when it starts a new frame.
  if (s.wideValid.load(std::memory_order_acquire) != 0) return;
  image::Kernels().widen(s.rawBuffer.data(), s.wideBuffer.data(), kFullFrameSamples);
  s.wideValid.store(1, std::memory_order_release);
}

std::uintptr_t GETBUFFER(CameraState& s, uint8_t* destination, uint32_t length) {
  if (destination == nullptr) return 0;
  const uint8_t* raw = s.rawBuffer.data();
  const uint16_t* wide = s.wideBuffer.data();
  const image::ImageKernels& kernels = image::Kernels();
  switch (s.bufferMode) {
    case 0:
      // Byte copy of the words in host (little-endian) order: 0x00, then b.
      WidenFrame(s);
      std::memcpy(destination, wide, Clamp(length, kWideBytes));
      return reinterpret_cast<std::uintptr_t>(destination);
    case 1:
      std::memcpy(destination, raw, Clamp(length, kRawBytes));
      return reinterpret_cast<std::uintptr_t>(destination);
    case 2:
      kernels.triple8(raw, destination, Clamp(length, kRawBytes));
      return 0;
    case 3:
      WidenFrame(s);
      kernels.triple16(wide, destination, Clamp(length, kWideSamples));
      return 0;
    case 4:
      // Always the full sensor geometry; reads raw samples 0 .. 360,960.
      return debayerImage(raw, destination, kSensorWidth, kSensorHeight);
    default:
      WidenFrame(s);
      kernels.offsetBigEndian(wide, destination, Clamp(length, kWideSamples));
      return 0;
  }
}

uint8_t* getbufptr(CameraState& s) { return s.rawBuffer.data(); }

void* bufferCopy(const void* source, void* destination, uint32_t count) {
  // memmove may not be handed null pointers even for zero bytes.
  if (count != 0) std::memmove(destination, source, count);
  return destination;
}

}  // namespace tarncam
