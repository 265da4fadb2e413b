#pragma once
// FITS files through cfitsio: a raw frame as one image (8-bit frames as
// BITPIX 8, 10-bit frames as unsigned 16-bit, that is BITPIX 16 with BZERO
// 32768), or a demosaiced frame as a three-plane image (red, green, blue).

#include <cstdio>

#include "cli/frame.h"
#include "cli/status.h"

namespace tarncli {

// cfitsio builds the file in memory; the bytes then go to `out` whole.
Status WriteFitsRaw(const Frame& frame, FILE* out);
Status WriteFitsRgb(const FrameInfo& info, const RgbImage& image, FILE* out);

}  // namespace tarncli
