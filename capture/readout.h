#pragma once
// Reading one frame over the bulk pipe, with retries through a controller
// reset, and delivering it to the exposure's destination.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/camera_state.h"

namespace tarncam {

inline constexpr int kMaxReadAttempts = 5;

// How a readout behaves beyond what every readout does.
struct ReadoutOptions {
  // Once another thread sets this, no further read is started (a read in
  // flight is ended by whoever set it). Null: never.
  const std::atomic<uint32_t>* stop = nullptr;
  // A read that failed because the device has gone is not retried: no
  // controller reset brings it back.
  bool giveUpWhenGone = false;
  // Copy only the window rows the transfer delivered whole and zero the rest
  // of the destination, instead of copying every row from the raw buffer as
  // it stands.
  bool onlyReceivedRows = false;
};

// What one readout did.
struct FrameReport {
  bool deviceOpen = false;  // false: no device was open and nothing was done
  bool delivered = false;   // a read succeeded: the whole frame or a short transfer
  bool stopped = false;     // ReadoutOptions::stop ended the retries
  uint32_t readsAttempted = 0;
  uint32_t readsFailed = 0;
  UsbResult lastRead;          // what the last read reported
  UsbResult lastResend;        // what the last retry's resend of the settings reported
  uint32_t transferBytes = 0;  // a whole frame's transfer
  uint32_t bytesReceived = 0;  // what the read that succeeded delivered
  uint32_t rowsReceived = 0;   // window rows whose samples all arrived
  uint32_t rowsCopied = 0;     // rows written to the destination
  uint64_t bytesCopied = 0;    // and their bytes
  // The last read: when it was issued and when it returned.
  uint64_t startMonoNs = 0;
  uint64_t endMonoNs = 0;
  int64_t startUtcNs = 0;
  int64_t endUtcNs = 0;
};

// Reads one frame into rawBuffer in one bulk transfer, retrying a failed
// read after a controller reset (five reads at most, none once the device
// has been closed), and copies the window's rows into `dest` (null: packed
// at the start of rawBuffer), repacking 10-bit samples. A short transfer
// counts as a delivered frame. Touches neither `exposing`, `frameDest` nor
// the semaphore.
FrameReport ReadFrameInto(Camera& cam, uint8_t* dest, const ReadoutOptions& options = {});

// The readout of the exported exposures: clears wideValid, reads into
// frameDest and advances it, then publishes the frame: clears `exposing`
// with release ordering and releases the registered semaphore. With no
// device open it only clears `exposing`. Returns 0 when no semaphore is
// registered or no device is open, else the release's success flag.
uint32_t ReadFrame(Camera& cam);

// Worker-thread entry of the exported threaded exposure: `arg` is the
// Camera*. Runs ReadFrame, then counts the readout as ended.
void ReadFrameWorker(void* arg);

// Marks the end of a readout counted in readoutsRunning and wakes an open
// that waits for it. The last thing a readout does with its camera: it comes
// after the publish, so it uses only the state record and system services,
// which outlive the readout (see ReadFrameWorker).
void EndReadout(Camera& cam);

// Restarts the controller's program and resends the last settings.
void ResetAndReprogram(Camera& cam);

// Moves `rows` rows of `rowSize` bytes from `src` (rows `stride` bytes apart)
// to `dst` (packed). Each row moves as if through a temporary, and later rows
// see what earlier rows wrote, so dst may lie at or before src in the same
// buffer (in-place compaction).
void CopyRows(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize, uint32_t stride);

// Turns `count` two-byte wire samples (bits 9..2, then bits 1..0) held as
// little-endian words into plain values 0..1023, in place.
void Repack10(uint8_t* words, std::size_t count);

// The readout's delivery of a frame: CopyRows, then Repack10 over the first
// `words` words at dst (0 for 8-bit samples). Where the repack covers exactly
// the rows copied, both happen in one pass over the frame.
void DeliverRows(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize, uint32_t stride,
                 std::size_t words);

}  // namespace tarncam
