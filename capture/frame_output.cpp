#include "capture/frame_output.h"

#include "image/demosaic.h"
#include "image/image_kernels.h"
#include "image/output_modes.h"

namespace tarncam {

uint32_t SelectOutputMode(CaptureState& s, uint32_t mode) {
  s.bufferMode = OutputModeFor(mode);
  return 0;
}

void WidenFrame(CaptureState& s) {
  // Once per frame: the readout clears the flag when it starts a new frame.
  if (s.wideValid.load(std::memory_order_acquire) != 0) return;
  image::Kernels().widen(s.rawBuffer.data(), s.wideBuffer.data(), kFullFrameSamples);
  s.wideValid.store(1, std::memory_order_release);
}

std::uintptr_t WriteFrameOutput(CaptureState& s, uint8_t* destination, uint32_t length) {
  if (destination == nullptr) return 0;
  if (OutputReadsWide(s.bufferMode)) WidenFrame(s);
  const OutputSource source{s.rawBuffer.data(), s.wideBuffer.data(), kFrameBufferEntries,
                            kSensorWidth, kSensorHeight};
  return WriteOutput(s.bufferMode, source, destination, length);
}

void DemosaicRawFrame(CaptureState& s, uint8_t* destination, uint32_t width, uint32_t height) {
  DemosaicWithin(s.rawBuffer.data(), kFrameBufferEntries, destination, width, height);
}

}  // namespace tarncam
