#include "capture/readout.h"

#include <algorithm>
#include <cstring>

#include "capture/frame_outcome.h"
#include "sensor/geometry.h"
#include "sensor/register_block.h"
#include "usb/control.h"
#include "usb/link.h"
#include "usb/requests.h"
#include "usb/timing.h"

namespace tarncam {
namespace {

constexpr uint64_t kRawSize = kFrameBufferEntries;

// The controller restart of a retry: the characters '1' and '0' into the CPU
// control register, whose bit 0 holds the CPU in reset and then lets it
// restart the program already in RAM. Sent on the handles the readout holds,
// so that a restart once begun is finished even when the device is closed
// meanwhile (the handles live on until the readout lets go of them): a CPU
// left held would keep the camera's program stopped until it lost power.
// A stop cuts the waits short (ProtocolWait) but never skips the release.
// Returns whether a stop cut them short.
bool RestartController(Camera& cam, Handle usb) {
  auto write = [&](uint8_t byte) {
    const SetupPacket setup{kVendorOut, kReqFirmwareLoad, kCpuControlRegister, 0, 1};
    cam.usb().ControlTransfer(usb, setup, &byte, 1);
  };
  write(0x31);
  const bool held = ProtocolWait(cam, kResetHoldMs);
  write(0x30);
  return ProtocolWait(cam, kRestartWaitMs) || held;
}

bool Stopped(const ReadoutOptions& o) {
  return o.stop != nullptr && o.stop->load(std::memory_order_acquire) != 0;
}

// Reads the frame into rawBuffer: up to five attempts, each retry after a
// controller restart. Stops retrying once the device it started on has been
// closed, or as `options` say.
void ReadWithRetries(Camera& cam, LinkLease& lease, uint32_t transfer,
                     const ReadoutOptions& options, FrameReport& report) {
  CameraState& s = cam.state;
  SystemServices& sys = cam.sys();
  for (int attempt = 0; !report.delivered && attempt < kMaxReadAttempts;) {
    if (attempt != 0) {
      if (!lease.Current()) break;
      // No controller restart reaches a camera that left the bus. The DLL
      // retries regardless, as its callers know it.
      if ((options.giveUpWhenGone || !cam.platform.retryLostDevice) &&
          report.lastRead.status == UsbStatus::kNoDevice)
        break;
      if (Stopped(options)) break;
      if (RestartController(cam, lease.usb())) {
        // Stopped while the controller restarts: it is not ready for the
        // settings, which stay due for the next programming.
        s.forceResend = 1;
        report.stopped = true;
        break;
      }
      // The restart dropped the sensor settings. With the device closed
      // during the restart's waits nothing is sent, and the resend stays due
      // for the next programming; a read issued now would outlive the
      // session it belongs to.
      report.lastResend = ResendSettings(cam);
      if (!lease.Current()) break;
    }
    if (Stopped(options)) {
      report.stopped = true;
      break;
    }
    ++attempt;
    // The camera times long exposures itself; allow for that plus a margin,
    // as reprogrammed by a retry.
    cam.usb().SetTransferTimeout(lease.usb(), s.pipeIn, s.lastExposure + kReadTimeoutMarginMs);
    report.startMonoNs = sys.MonotonicNs();
    report.startUtcNs = sys.UtcNs();
    // A short transfer counts as success: the camera's abort ends a read so.
    uint32_t received = 0;
    report.lastRead =
        cam.usb().ReadPipe(lease.usb(), s.pipeIn, s.rawBuffer.data(), transfer, &received);
    report.endMonoNs = sys.MonotonicNs();
    report.endUtcNs = sys.UtcNs();
    ++report.readsAttempted;
    s.readsAttempted.fetch_add(1, std::memory_order_relaxed);
    if (report.lastRead.ok()) {
      report.delivered = true;
      report.bytesReceived = std::min(received, transfer);
    } else {
      ++report.readsFailed;
      s.readsFailed.fetch_add(1, std::memory_order_relaxed);
    }
  }
  if (!report.delivered && Stopped(options)) report.stopped = true;
}

}  // namespace

FrameReport ReadFrameInto(Camera& cam, uint8_t* dest, const ReadoutOptions& options) {
  CameraState& s = cam.state;
  FrameReport report;
  uint8_t* const dest0 = dest != nullptr ? dest : s.rawBuffer.data();
  uint32_t rowSize = 0;
  uint32_t stride = 0;
  {
    // Pins the device's handles for the reads: a close meanwhile cannot
    // release them under us.
    LinkLease lease(cam);
    if (!lease) return report;
    report.deviceOpen = true;

    // Sizes fixed for the whole readout, also across a retry's
    // reprogramming (32-bit products).
    const uint32_t bps = (s.dynamicRange & 1) != 0 ? 2 : 1;
    rowSize = s.rowBytes * bps;
    stride = s.rowPitch * bps;
    report.transferBytes = static_cast<uint32_t>(std::min<uint64_t>(s.readLength * bps, kRawSize));
    ReadWithRetries(cam, lease, report.transferBytes, options, report);
  }

  // The rest reads the window as it stands now.
  const bool wide = (s.dynamicRange & 1) != 0;
  const uint64_t skip = uint64_t{WindowSkipSamples(s.rowBytes)} * (wide ? 2 : 1);
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

  // Row r of the window is whole once the transfer reached its last sample.
  if (report.delivered && rows != 0 && report.bytesReceived >= skip + rowSize) {
    const uint64_t whole =
        stride != 0 ? (report.bytesReceived - skip - rowSize) / stride + 1 : rows;
    report.rowsReceived = static_cast<uint32_t>(std::min<uint64_t>(rows, whole));
  }

  const uint64_t windowRows = rows;
  if (options.onlyReceivedRows) rows = report.rowsReceived;
  // Into the raw buffer itself the rows move towards its start, compacting
  // the frame in place. Of 10-bit samples only the words this readout wrote
  // are converted.
  uint64_t words = 0;
  if (wide) words = std::min<uint64_t>(uint64_t{s.rowBytes} * s.rowsToCopy, rows * rowSize / 2);
  DeliverRows(dest0, s.rawBuffer.data() + skip, static_cast<uint32_t>(rows), rowSize, stride,
              static_cast<std::size_t>(words));
  // Nothing of an earlier frame may pass for this one: rows that did not
  // arrive are zero.
  if (rows < windowRows)
    std::memset(dest0 + rows * rowSize, 0, static_cast<size_t>((windowRows - rows) * rowSize));
  report.rowsCopied = static_cast<uint32_t>(rows);
  report.bytesCopied = rows * rowSize;
  return report;
}

uint32_t ReadFrame(Camera& cam) {
  CameraState& s = cam.state;
  s.wideValid.store(0, std::memory_order_relaxed);

  uint8_t* const dest0 = s.frameDest != nullptr ? s.frameDest : s.rawBuffer.data();
  const FrameReport report = ReadFrameInto(cam, dest0);
  const FrameVerdict verdict = JudgeFrame(report, s);
  if (!report.deviceOpen) {
    s.lastFrameOutcome.store(verdict.Code(), std::memory_order_relaxed);  // kFrameNone
    s.exposing.store(0, std::memory_order_release);
    // A close that overtook the worker before its first read leaves the
    // device closed here, but the exposure was accepted with it open: the
    // caller waits on its semaphore, the only sign of the end after a
    // close, so it is released as for any ended readout.
    if (s.exposureHadDevice.load(std::memory_order_relaxed) == 0) return 0;
    const Handle semaphore = s.doneSemaphore.load(std::memory_order_relaxed);
    return semaphore == 0 ? 0 : cam.sys().SignalSemaphore(semaphore);
  }
  // After five failed reads the buffer is delivered as it stands: callers of
  // the exported functions take the end of an exposure as its frame. The
  // outcome tells native clients what they got.
  s.lastFrameOutcome.store(verdict.Code(), std::memory_order_relaxed);
  s.lastFrameExpected.store(report.transferBytes, std::memory_order_relaxed);
  s.lastFrameReceived.store(report.delivered ? report.bytesReceived : 0,
                            std::memory_order_relaxed);
  s.frameDest = dest0 + report.bytesCopied;

  // Publish: the whole frame is written; clearing exposing with release
  // ordering hands it to the caller, and only then is the semaphore
  // released. Nothing of the frame is touched after this point.
  s.exposing.store(0, std::memory_order_release);
  const Handle semaphore = s.doneSemaphore.load(std::memory_order_relaxed);
  if (semaphore == 0) return 0;
  return cam.sys().SignalSemaphore(semaphore);
}

void EndReadout(Camera& cam) {
  CameraState& s = cam.state;
  // Sequentially consistent: a wake that finds no one waiting relies on it.
  s.readoutsRunning.fetch_sub(1);
  cam.sys().WakeFlagWaiters(s.readoutsRunning);
}

void ReadFrameWorker(void* arg) {
  // The platform as it stands now, while the exposure keeps it from being
  // swapped: once the frame is published the caller may point the exported
  // camera elsewhere (detach a simulator), and this readout is not done yet.
  Camera& shared = *static_cast<Camera*>(arg);
  Platform platform = shared.platform;
  Camera cam{shared.state, platform};
  ReadFrame(cam);
  EndReadout(cam);
}

void ResetAndReprogram(Camera& cam) {
  LinkLease lease(cam);
  if (lease) RestartController(cam, lease.usb());
  ResendSettings(cam);
}

}  // namespace tarncam
