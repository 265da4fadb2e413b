#pragma once
// Bayer demosaic: a W x H mosaic (plus one sample after it) becomes a
// W x (H - 1) colour image. Output row i comes from source rows i and i + 1;
// the 2 x 2 rule and the column phase are drawn in image/demosaic_rule.h.
//
// Source: W * H + 1 samples (the one after the image is read for the last
// pixel). Destinations:
//   debayerImage, debayerImageW: interleaved triplets (colour 1, green,
//     colour 2), 3 * W * (H - 1) bytes;
//   debayerImageFITBYTE: three 8-bit planes (colour 2, green, colour 1),
//     3 * W * (H - 1) bytes;
//   debayerImageFITWORD: three 16-bit planes (colour 2, green, colour 1),
//     6 * W * (H - 1) bytes, opposite column phase.
// Result: the number of output rows, H - 1. H = 1 or W = 0 writes nothing.
// H = 0 also writes nothing and returns 0 (there is no output row; H - 1
// would wrap to 0xFFFFFFFF).
//
// debayerImageW scales 10-bit samples to 8 bits: colours x >> 2 and green
// (e + o) >> 3, anything that would exceed 255 giving 255; the green sum is
// taken at full width, so even two samples summing past 65535 give 255.

#include <cstddef>
#include <cstdint>

namespace tarncam {

uint32_t debayerImage(const uint8_t* source, uint8_t* destination, uint32_t width, uint32_t height);
uint32_t debayerImageW(const uint16_t* source, uint8_t* destination, uint32_t width,
                       uint32_t height);
uint32_t debayerImageFITBYTE(const uint8_t* source, uint8_t* destination, uint32_t width,
                             uint32_t height);
uint32_t debayerImageFITWORD(const uint16_t* source, uint16_t* destination, uint32_t width,
                             uint32_t height);

// debayerImage on a mosaic held in `entries` samples. When W * H + 1 exceeds
// them, only the rows they hold are used (the height is cut to the largest H
// with W * H + 1 <= entries), so the output is the top of the image and
// nothing beyond the samples is read.
void DemosaicWithin(const uint8_t* mosaic, std::size_t entries, uint8_t* destination,
                    uint32_t width, uint32_t height);

}  // namespace tarncam
