#include "cli/exposure_session.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cli/geometry.h"
#include "cli/interrupt.h"
#include "tarncam/tarncam.h"
#include "tarncam/tarncam_native.h"

namespace tarncli {
namespace {

using Clock = std::chrono::steady_clock;

// The offset argument of ProgramCamera is stored by the library and never
// sent; the camera has no offset to set.
constexpr uint32_t kOffset = 0;
constexpr uintptr_t kThreadStartFailed = ~uintptr_t{0};
constexpr uint32_t kPollMs = 10;

// The longest a readout can take: five reads, each allowed the exposure plus
// a second, and four controller resets of about 3.6 s between them; plus a
// margin for a busy machine.
uint64_t ReadoutBoundMs(uint32_t exposureMs) {
  return 5 * (uint64_t{exposureMs} + 1000) + 4 * 3600 + 5000;
}

// How long a cancelled exposure may take to wind down before we give up on it.
constexpr uint64_t kCancelWaitMs = 5000;
constexpr uint64_t kAbortRepeatMs = 250;

uint64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(uint32_t ms) {
  const timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1'000'000L};
  nanosleep(&t, nullptr);
}

ReadCounts CountsNow() {
  ReadCounts c;
  tarncam_read_counters(&c.attempted, &c.failed);
  return c;
}

}  // namespace

[[noreturn]] void AbandonAndExit(ExitCode code, const std::string& message) {
  std::fprintf(stderr, "tarncam: %s\n", message.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(static_cast<int>(code));
}

std::string UtcTimestamp(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
  const time_t seconds = static_cast<time_t>(ms.count() / 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms.count() % 1000));
  return text;
}

ExposureSession::ExposureSession(Device& device, const ExposureSettings& settings)
    : device_(device),
      settings_(settings),
      bufferBytes_(size_t{settings.window.width} * settings.window.height *
                   (settings.bits == 8 ? 1 : 2)),
      buffer_(new uint8_t[bufferBytes_]) {}

ExposureSession::~ExposureSession() {
  // Reached only when no readout runs: the abandoning paths never unwind.
  delete[] buffer_;
}

void ExposureSession::Program() {
  // The setters only store; ProgramCamera derives the sensor timing from all
  // of them at once, so they go first.
  Subframe(settings_.window.width, settings_.window.height);
  DynamicRange(settings_.bits);
  VerticalFlip(settings_.flipVertical ? 1 : 0);
  HorizontalFlip(settings_.flipHorizontal ? 1 : 0);
  ProgramCamera(settings_.exposureMs, settings_.gain, kOffset, 0);
}

void ExposureSession::StopExposure(ExitCode code, const std::string& why) {
  // The abort ends a pending read; one sent before the worker has issued its
  // read finds nothing to end. Repeat it until the readout stops, so the
  // outcome does not depend on when the interrupt came.
  const Clock::time_point start = Clock::now();
  uint64_t nextAbortMs = 0;
  while (isExposing() != 0 && MsSince(start) < kCancelWaitMs) {
    if (MsSince(start) >= nextAbortMs) {
      CancelExposure();
      nextAbortMs += kAbortRepeatMs;
    }
    SleepMs(kPollMs);
  }
  if (isExposing() == 0) return;
  // The readout is still going (a camera that ignores the abort, or a retry
  // in progress): close the camera as the library allows, but leave the
  // buffer to the worker and end without unwinding.
  closeUSB();
  AbandonAndExit(code, why + "; the camera did not stop its readout, exiting");
}

Status ExposureSession::Expose(Progress& progress, const char* label, Frame* frame,
                               ReadCounts* reads) {
  // Ctrl-C during the open or the programming (which wait on the camera)
  // is honoured before any exposure starts.
  if (Interrupted()) return Status::Error(ExitCode::kInterrupted, "interrupted");
  const ReadCounts before = CountsNow();
  const auto wallStart = std::chrono::system_clock::now();
  const Clock::time_point start = Clock::now();
  if (ThreadedExposure(buffer_) == kThreadStartFailed) {
    return Status::Error(ExitCode::kFailure, "the library could not start the readout");
  }
  progress.Start(settings_.exposureMs, label);

  // Polling rather than the completion semaphore: isExposing reads with
  // acquire ordering, so once it says 0 the whole frame is in the buffer,
  // and the loop can watch the interrupt flag and the deadline meanwhile.
  const uint64_t boundMs = ReadoutBoundMs(settings_.exposureMs);
  while (isExposing() != 0) {
    if (Interrupted()) {
      progress.Finish();
      StopExposure(ExitCode::kInterrupted, "interrupted");
      return Status::Error(ExitCode::kInterrupted, "interrupted; exposure cancelled");
    }
    const uint64_t elapsed = MsSince(start);
    if (elapsed > boundMs) {
      progress.Finish();
      const std::string why =
          "the camera delivered no frame within " + std::to_string(boundMs / 1000) + " s";
      StopExposure(ExitCode::kFailure, why);
      return Status::Error(ExitCode::kFailure, why);
    }
    progress.Update(elapsed);
    SleepMs(kPollMs);
  }
  progress.Finish();

  // The library delivers whatever its buffer holds after five failed reads;
  // the counters are the only way to tell that from a frame.
  const ReadCounts after = CountsNow();
  ReadCounts took{after.attempted - before.attempted, after.failed - before.failed};
  if (reads != nullptr) *reads = took;
  if (took.attempted == 0) {
    return Status::Error(ExitCode::kFailure, "the camera was lost before the frame was read");
  }
  if (took.failed >= took.attempted) {
    return Status::Error(ExitCode::kFailure, "the camera delivered no frame (" +
                                                 std::to_string(took.failed) + " reads failed)");
  }

  // Describe the frame from the settings it was programmed with: the
  // library's own record of them is not part of its interface.
  FrameInfo& info = frame->info;
  const WindowPlacement place = PlaceWindow(settings_);
  info.width = settings_.window.width;
  info.height = settings_.window.height;
  info.bits = settings_.bits;
  info.exposureS = settings_.exposureMs / 1000.0;
  info.gain = settings_.gain;
  info.dateObs = UtcTimestamp(wallStart);
  info.instrument = device_.instrument();
  info.xOrigin = place.xOrigin;
  info.yOrigin = place.yOrigin;
  info.flipHorizontal = settings_.flipHorizontal;
  info.flipVertical = settings_.flipVertical;
  info.bayerPattern = device_.colour() ? BayerPattern(place) : std::string();

  // One spare sample past the frame: the demosaic reads one beyond the last.
  const size_t samples = size_t{info.width} * info.height;
  if (info.bits == 8) {
    frame->words.clear();
    frame->bytes.assign(samples + 1, 0);
    std::memcpy(frame->bytes.data(), buffer_, samples);
  } else {
    frame->bytes.clear();
    frame->words.assign(samples + 1, 0);
    std::memcpy(frame->words.data(), buffer_, samples * 2);
  }
  return Status::Ok();
}

}  // namespace tarncli
