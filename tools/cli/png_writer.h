#pragma once
// PNG files through libpng: 8-bit frames as 8-bit grey, 10-bit frames as
// 16-bit grey (the 10 bits scaled to full range, with an sBIT chunk saying
// 10 bits are significant, so `value >> 6` gives the sample back), and
// demosaiced frames as 8-bit RGB.

#include <cstdio>

#include "cli/frame.h"
#include "cli/status.h"

namespace tarncli {

Status WritePngRaw(const Frame& frame, FILE* out);
Status WritePngRgb(const RgbImage& image, FILE* out);

}  // namespace tarncli
