#include "cli/exposure_session.h"

#include <cstdio>
#include <cstring>

#include "cli/geometry.h"
#include "cli/interrupt.h"
#include "common/fits_time.h"

namespace tarncli {
namespace {

// How often the wait looks at Ctrl-C and redraws the progress.
constexpr uint32_t kPollMs = 10;

}  // namespace

std::string UtcTimestamp(std::chrono::system_clock::time_point t) {
  return tarnapp::FitsUtc(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

ExposureSession::ExposureSession(Device& device, const ExposureSettings& settings)
    : device_(device),
      settings_(settings),
      buffer_(size_t{settings.window.width} * settings.window.height *
              (settings.bits == 8 ? 1 : 2)) {}

Status ExposureSession::Program() {
  tarncam_camera* cam = device_.camera();
  const struct {
    tarncam_control control;
    int64_t value;
  } controls[] = {
      {TARNCAM_CONTROL_BIT_DEPTH, settings_.bits},
      {TARNCAM_CONTROL_FLIP_HORIZONTAL, settings_.flipHorizontal ? 1 : 0},
      {TARNCAM_CONTROL_FLIP_VERTICAL, settings_.flipVertical ? 1 : 0},
      {TARNCAM_CONTROL_EXPOSURE_MS, settings_.exposureMs},
      {TARNCAM_CONTROL_GAIN, settings_.gain},
  };
  // The options were checked when parsed; a refusal here is the library's
  // word on a combination, passed on as such.
  tarncam_status s = tarncam_set_window(cam, settings_.window.width, settings_.window.height);
  for (const auto& c : controls) {
    if (s == TARNCAM_OK) s = tarncam_set_control(cam, c.control, c.value);
  }
  if (s == TARNCAM_OK) return Status::Ok();
  return Status::Error(s == TARNCAM_ERR_OUT_OF_RANGE ? ExitCode::kBadArguments : ExitCode::kFailure,
                       LastError());
}

Status ExposureSession::Expose(Progress& progress, const char* label, Frame* frame,
                               ReadCounts* reads) {
  // Ctrl-C during the open (which waits on the camera) is honoured before
  // any exposure starts.
  if (Interrupted()) return Status::Error(ExitCode::kInterrupted, "interrupted");
  tarncam_camera* cam = device_.camera();
  if (tarncam_start_exposure(cam, buffer_.data(), buffer_.size(), nullptr, nullptr) !=
      TARNCAM_OK) {
    return Status::Error(ExitCode::kFailure, LastError());
  }
  progress.Start(settings_.exposureMs, label);
  const auto start = std::chrono::steady_clock::now();

  // The library bounds every read and retry, so the wait ends: with the
  // frame, or with why there is none.
  tarncam_frame_record rec{};
  rec.struct_size = sizeof rec;
  tarncam_status s;
  while ((s = tarncam_wait_frame(cam, kPollMs, &rec)) == TARNCAM_ERR_WAIT_TIMEOUT) {
    if (Interrupted()) {
      progress.Finish();
      // Returns once the readout has ended: the buffer is ours again.
      tarncam_cancel_exposure(cam);
      return Status::Error(ExitCode::kInterrupted, "interrupted; exposure cancelled");
    }
    progress.Update(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count()));
  }
  progress.Finish();
  if (reads != nullptr) *reads = {rec.reads_attempted, rec.reads_failed};
  if (s == TARNCAM_ERR_SHORT_FRAME) {
    return Status::Error(ExitCode::kFailure, "the camera ended the frame early (" +
                                                 std::to_string(rec.rows_received) + " of " +
                                                 std::to_string(rec.height) + " rows)");
  }
  if (s != TARNCAM_OK) {
    return Status::Error(ExitCode::kFailure,
                         "the camera delivered no frame (" + std::to_string(rec.reads_failed) +
                             " of " + std::to_string(rec.reads_attempted) +
                             " reads failed): " + LastError());
  }

  // The record says what the frame is; only a colour mosaic the camera does
  // not report (the user's --colour) is placed here.
  FrameInfo& info = frame->info;
  info.width = rec.width;
  info.height = rec.height;
  info.bits = rec.bit_depth;
  info.exposureS = rec.exposure_ms / 1000.0;
  info.gain = rec.gain;
  info.dateObs = UtcTimestamp(std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(rec.start_utc_ns))));
  info.instrument = device_.instrument();
  info.xOrigin = rec.x_origin;
  info.yOrigin = rec.y_origin;
  info.flipHorizontal = rec.flip_horizontal != 0;
  info.flipVertical = rec.flip_vertical != 0;
  info.bayerPattern = rec.bayer_pattern;
  if (info.bayerPattern.empty() && device_.colour()) {
    tarncam_window w{};
    w.struct_size = sizeof w;
    tarncam_get_window(cam, &w);
    info.bayerPattern = BayerPatternAt(w.first_x, w.first_y);
  }

  // One spare sample past the frame: the demosaic reads one beyond the last.
  const size_t samples = size_t{info.width} * info.height;
  if (info.bits == 8) {
    frame->words.clear();
    frame->bytes.assign(samples + 1, 0);
    std::memcpy(frame->bytes.data(), buffer_.data(), samples);
  } else {
    frame->bytes.clear();
    frame->words.assign(samples + 1, 0);
    std::memcpy(frame->words.data(), buffer_.data(), samples * 2);
  }
  return Status::Ok();
}

}  // namespace tarncli
