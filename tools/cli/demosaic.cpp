#include "cli/demosaic.h"

#include <algorithm>
#include <vector>

#include "cli/geometry.h"
#include "tarncam/tarncam.h"

namespace tarncli {
namespace {

// The frame's samples, `width` columns per row, plus the one spare sample
// the demosaic reads past the end. Drops trailing columns when narrower.
template <typename Sample>
std::vector<Sample> Mosaic(const std::vector<Sample>& samples, uint32_t frameWidth, uint32_t width,
                           uint32_t height) {
  std::vector<Sample> out(size_t{width} * height + 1, 0);
  for (uint32_t r = 0; r < height; ++r) {
    std::copy_n(samples.begin() + size_t{r} * frameWidth, width, out.begin() + size_t{r} * width);
  }
  return out;
}

}  // namespace

Status DemosaicFrame(const Frame& frame, RgbImage* image) {
  const FrameInfo& f = frame.info;
  DemosaicPlan plan;
  if (f.bayerPattern.empty()) {
    return Status::Error(ExitCode::kBadArguments,
                         "--demosaic: the camera is monochrome (give --colour for a colour "
                         "camera the tool cannot identify)");
  }
  if (!PlanDemosaic(f.bayerPattern, f.width, f.height, &plan)) {
    return Status::Error(ExitCode::kBadArguments, "--demosaic: the window is too small");
  }
  const uint32_t w = plan.width;
  const uint32_t h = f.height;
  const size_t pixels = size_t{w} * (h - 1);
  std::vector<uint8_t> interleaved(pixels * 3);
  // Always through a copy: it carries the spare sample, and the narrower
  // mosaic when the last column goes.
  if (f.bits == 8) {
    const std::vector<uint8_t> src = Mosaic(frame.bytes, f.width, w, h);
    debayerImage(src.data(), interleaved.data(), w, h);
  } else {
    const std::vector<uint16_t> src = Mosaic(frame.words, f.width, w, h);
    debayerImageW(src.data(), interleaved.data(), w, h);
  }
  // Colour 1 is the non-green colour of the even rows: red or blue.
  const size_t redAt = plan.colour1IsRed ? 0 : 2;
  const size_t blueAt = 2 - redAt;
  image->width = w;
  image->height = h - 1;
  image->planes.resize(pixels * 3);
  for (size_t i = 0; i < pixels; ++i) {
    image->planes[i] = interleaved[3 * i + redAt];
    image->planes[pixels + i] = interleaved[3 * i + 1];
    image->planes[2 * pixels + i] = interleaved[3 * i + blueAt];
  }
  return Status::Ok();
}

}  // namespace tarncli
