#pragma once
// A colour frame into red, green and blue planes through the library's
// demosaic exports (debayerImage for 8-bit frames, debayerImageW for 10-bit
// ones, which scales to 8 bits). The result is one row shorter than the
// frame, and one column narrower when the mosaic's phase needs it.

#include "cli/frame.h"
#include "cli/status.h"

namespace tarncli {

Status DemosaicFrame(const Frame& frame, RgbImage* image);

}  // namespace tarncli
