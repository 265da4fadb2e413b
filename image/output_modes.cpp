// The output formats of a frame. The loops themselves live in the kernel
// tables (image_kernels.h); this file holds the rules around them: which
// buffer, and how far.

#include "image/output_modes.h"

#include <cstring>

#include "image/demosaic.h"
#include "image/image_kernels.h"

namespace tarncam {
namespace {

constexpr uint32_t Clamp(uint32_t length, uint64_t limit) {
  return length < limit ? length : static_cast<uint32_t>(limit);
}

}  // namespace

std::uintptr_t WriteOutput(uint32_t mode, const OutputSource& source, uint8_t* destination,
                           uint32_t length) {
  // How far each source may be read, in the unit its modes count in: raw
  // bytes (modes 1, 2), widened samples (3, 5), widened bytes (0).
  const uint64_t samples = source.entries;
  const image::ImageKernels& kernels = image::Kernels();
  switch (mode) {
    case 0:
      // Byte copy of the words in host (little-endian) order: 0x00, then b.
      std::memcpy(destination, source.wide, Clamp(length, 2 * samples));
      return reinterpret_cast<std::uintptr_t>(destination);
    case 1:
      std::memcpy(destination, source.raw, Clamp(length, samples));
      return reinterpret_cast<std::uintptr_t>(destination);
    case 2:
      kernels.triple8(source.raw, destination, Clamp(length, samples));
      return 0;
    case 3:
      kernels.triple16(source.wide, destination, Clamp(length, samples));
      return 0;
    case 4:
      return debayerImage(source.raw, destination, source.mosaicWidth, source.mosaicHeight);
    default:
      kernels.offsetBigEndian(source.wide, destination, Clamp(length, samples));
      return 0;
  }
}

void* CopyOverlapping(const void* source, void* destination, uint32_t count) {
  // memmove may not be handed null pointers even for zero bytes.
  if (count != 0) std::memmove(destination, source, count);
  return destination;
}

}  // namespace tarncam
