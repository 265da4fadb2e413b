// The five demosaic entry points: argument edge cases here, the pixel loops
// in the kernel tables (plain and vector versions of one rule).

#include "image/demosaic.h"

#include "image/image_kernels.h"

namespace tarncam {
namespace {

// Runs `kernel` when there is anything to write. H = 0 has no output row and
// returns 0 rather than a wrapped H - 1 that a caller might loop on.
template <typename Kernel, typename Source, typename Dest>
uint32_t Run(Kernel kernel, const Source* source, Dest* destination, uint32_t width,
             uint32_t height) {
  if (height == 0) return 0;
  if (height >= 2 && width != 0) kernel(source, destination, width, height);
  return height - 1;
}

}  // namespace

uint32_t debayerImage(const uint8_t* source, uint8_t* destination, uint32_t width,
                      uint32_t height) {
  return Run(image::Kernels().demosaic, source, destination, width, height);
}

uint32_t debayerImageW(const uint16_t* source, uint8_t* destination, uint32_t width,
                       uint32_t height) {
  return Run(image::Kernels().demosaicW, source, destination, width, height);
}

uint32_t debayerImageFITBYTE(const uint8_t* source, uint8_t* destination, uint32_t width,
                             uint32_t height) {
  return Run(image::Kernels().demosaicPlanar8, source, destination, width, height);
}

uint32_t debayerImageFITWORD(const uint16_t* source, uint16_t* destination, uint32_t width,
                             uint32_t height) {
  return Run(image::Kernels().demosaicPlanar16, source, destination, width, height);
}

void DemosaicWithin(const uint8_t* mosaic, std::size_t entries, uint8_t* destination,
                    uint32_t width, uint32_t height) {
  // Keep the mosaic and its extra sample inside the samples given.
  const uint64_t samples = entries;
  if (width != 0 && uint64_t{width} * height + 1 > samples)
    height = samples == 0 ? 0 : static_cast<uint32_t>((samples - 1) / width);
  debayerImage(mosaic, destination, width, height);
}

}  // namespace tarncam
