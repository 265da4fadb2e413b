#include "capture/readout.h"

#include <algorithm>
#include <cstring>

#include "sensor/register_block.h"
#include "usb/control.h"
#include "usb/link.h"
#include "usb/requests.h"

namespace tarncam {
namespace {

constexpr uint32_t kReadTimeoutMarginMs = 1000;
constexpr uint32_t kResetHoldMs = 50;
constexpr uint32_t kRestartWaitMs = 3000;
constexpr uint32_t kWindowSkipSamples = 50;  // 376- and 400-wide windows start 50 samples in

// Reads the frame into rawBuffer: up to five attempts, each retry after a
// controller restart. Returns whether a read completed, with the bytes it
// brought in `*received`. Stops retrying once the device it started on has
// been closed.
bool ReadWithRetries(Camera& cam, LinkLease& lease, uint32_t transfer, uint32_t* received) {
  CameraState& s = cam.state;
  bool ok = false;
  *received = 0;
  for (int attempt = 0; !ok && attempt < kMaxReadAttempts;) {
    if (attempt != 0) {
      if (!lease.Current()) break;
      ResetAndReprogram(cam);
    }
    ++attempt;
    // The camera times long exposures itself; allow for that plus a margin,
    // as reprogrammed by a retry.
    cam.usb().SetTransferTimeout(lease.usb(), s.pipeIn, s.lastExposure + kReadTimeoutMarginMs);
    // A short transfer counts as success: the camera's abort ends a read so.
    ok = cam.usb().ReadPipe(lease.usb(), s.pipeIn, s.rawBuffer.data(), transfer, received).ok();
    s.readsAttempted.fetch_add(1, std::memory_order_relaxed);
    if (!ok) s.readsFailed.fetch_add(1, std::memory_order_relaxed);
  }
  return ok;
}

}  // namespace

uint32_t ReadFrame(Camera& cam) {
  CameraState& s = cam.state;
  constexpr uint64_t kRawSize = kFrameBufferEntries;
  s.wideValid.store(0, std::memory_order_relaxed);

  uint8_t* const dest0 = s.frameDest != nullptr ? s.frameDest : s.rawBuffer.data();
  uint32_t rowSize = 0;
  uint32_t stride = 0;
  {
    // Pins the device's handles for the reads: a closeUSB meanwhile cannot
    // release them under us.
    LinkLease lease(cam);
    if (!lease) {
      s.lastFrameOutcome.store(kFrameNone, std::memory_order_relaxed);
      s.exposing.store(0, std::memory_order_release);
      // A close that overtook the worker before its first read leaves the
      // device closed here, but the exposure was accepted with it open: the
      // caller waits on its semaphore, the only sign of the end after a
      // close, so it is released as for any ended readout.
      if (s.exposureHadDevice.load(std::memory_order_relaxed) == 0) return 0;
      const Handle semaphore = s.doneSemaphore.load(std::memory_order_relaxed);
      return semaphore == 0 ? 0 : cam.sys().SignalSemaphore(semaphore);
    }
    s.frameDest = dest0;

    // Sizes fixed for the whole readout, also across a retry's
    // reprogramming (32-bit products).
    const uint32_t bps = (s.dynamicRange & 1) != 0 ? 2 : 1;
    rowSize = s.rowBytes * bps;
    stride = s.rowPitch * bps;
    const uint32_t transfer =
        static_cast<uint32_t>(std::min<uint64_t>(uint64_t{s.readLength} * bps, kRawSize));
    uint32_t received = 0;
    const bool ok = ReadWithRetries(cam, lease, transfer, &received);
    // After five failed reads the buffer is delivered as it stands; the
    // outcome tells native clients what they got.
    uint32_t outcome = !ok ? kFrameFailed : received < transfer ? kFrameShort : kFrameComplete;
    // A pending resend means the camera never took the settings this frame
    // was read with.
    if (s.forceResend != 0) outcome |= kFrameUnconfirmed;
    s.lastFrameOutcome.store(outcome, std::memory_order_relaxed);
    s.lastFrameExpected.store(transfer, std::memory_order_relaxed);
    s.lastFrameReceived.store(ok ? std::min(received, transfer) : 0, std::memory_order_relaxed);
  }

  // The rest reads the window as it stands now.
  const bool wide = (s.dynamicRange & 1) != 0;
  const uint64_t skip = (s.rowBytes == 376 || s.rowBytes == 400) ? kWindowSkipSamples * (wide ? 2 : 1) : 0;
  uint64_t rows = s.rowsToCopy;

  // Never read or write outside rawBuffer. Every window within the sensor
  // fits; this only bites when the window or depth changed mid-readout.
  if (rows != 0) {
    if (skip + rowSize > kRawSize) {
      rows = 0;
    } else if (stride != 0) {
      rows = std::min<uint64_t>(rows, (kRawSize - skip - rowSize) / stride + 1);
    }
    if (dest0 == s.rawBuffer.data() && rowSize != 0) rows = std::min<uint64_t>(rows, kRawSize / rowSize);
  }

  // Into the raw buffer itself the rows move towards its start, compacting
  // the frame in place. Of 10-bit samples only the words this readout wrote
  // are converted.
  uint64_t words = 0;
  if (wide) words = std::min<uint64_t>(uint64_t{s.rowBytes} * s.rowsToCopy, rows * rowSize / 2);
  DeliverRows(dest0, s.rawBuffer.data() + skip, static_cast<uint32_t>(rows), rowSize, stride,
              static_cast<std::size_t>(words));
  s.frameDest = dest0 + rows * rowSize;

  // Publish: the whole frame is written; clearing exposing with release
  // ordering hands it to the caller, and only then is the semaphore
  // released. Nothing of the frame is touched after this point.
  s.exposing.store(0, std::memory_order_release);
  const Handle semaphore = s.doneSemaphore.load(std::memory_order_relaxed);
  if (semaphore == 0) return 0;
  return cam.sys().SignalSemaphore(semaphore);
}

void ReadFrameWorker(void* arg) { ReadFrame(*static_cast<Camera*>(arg)); }

void ResetAndReprogram(Camera& cam) {
  // The characters '1' and '0' into the CPU control register: bit 0 holds
  // the CPU in reset, then lets it restart the program already in RAM.
  uint8_t hold = 0x31;
  ControlOut(cam, kReqFirmwareLoad, &hold, 1, 0, kCpuControlRegister);
  cam.sys().SleepAlertable(kResetHoldMs);
  uint8_t run = 0x30;
  ControlOut(cam, kReqFirmwareLoad, &run, 1, 0, kCpuControlRegister);
  cam.sys().SleepAlertable(kRestartWaitMs);
  // The restart dropped the sensor settings.
  ReprogramCamera(cam);
}

}  // namespace tarncam
