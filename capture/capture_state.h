#pragma once
// The capture part of a camera's record: the exposure hand-off between the
// caller and the readout, how the last readout ended, and the frame buffers.
// Constant-initialised like the record it is part of.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/handles.h"

namespace tarncam {

// Entries of the raw and the widened frame buffer: a whole frame transfer
// with room to spare.
inline constexpr std::size_t kFrameBufferEntries = 784000;

// How a readout ended; the 36 exports deliver every frame alike.
enum FrameOutcome : uint32_t {
  kFrameNone = 0,      // no readout yet, or it found no device open
  kFrameComplete = 1,  // a read delivered the whole transfer
  kFrameShort = 2,     // the read ended early with success (an abort, or less sent)
  kFrameFailed = 3,    // every read failed: the raw buffer's old content was delivered
};
// Added to the outcome when the camera had not confirmed the settings the
// readout assumed (their last sending failed, or none since the open).
inline constexpr uint32_t kFrameUnconfirmed = 0x100;

struct CaptureState {
  std::atomic<uint32_t> exposing{0};
  // The exposure in progress was accepted with a device open: it ends with a
  // semaphore release even when a close overtakes its readout.
  std::atomic<uint32_t> exposureHadDevice{0};
  // Readouts started through the exported exposures and not yet returned,
  // abandoned ones included (closeUSB clears `exposing` without waiting for
  // its readout). An open waits for this to reach 0, so that a readout of an
  // earlier session never meets the next one.
  std::atomic<uint32_t> readoutsRunning{0};
  uint8_t* frameDest = nullptr;
  std::atomic<Handle> doneSemaphore{0};
  std::atomic<uint32_t> wideValid{0};
  uint32_t bufferMode = 0;
  // Diagnostics for native clients: bulk reads attempted and failed since
  // load. Nothing in the interface reads them.
  std::atomic<uint32_t> readsAttempted{0};
  std::atomic<uint32_t> readsFailed{0};
  // How the last readout ended (FrameOutcome, with kFrameUnconfirmed), and
  // the bytes it asked for and received. Written before `exposing` is
  // cleared, so a caller that saw the exposure end reads them whole.
  std::atomic<uint32_t> lastFrameOutcome{0};
  std::atomic<uint32_t> lastFrameExpected{0};
  std::atomic<uint32_t> lastFrameReceived{0};
  alignas(64) std::array<uint8_t, kFrameBufferEntries> rawBuffer{};
  alignas(64) std::array<uint16_t, kFrameBufferEntries> wideBuffer{};
};

}  // namespace tarncam
