// `tarncam capture`: frames to FITS and PNG files.

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/demosaic.h"
#include "cli/device.h"
#include "cli/exposure_session.h"
#include "cli/fits_writer.h"
#include "cli/interrupt.h"
#include "cli/output_file.h"
#include "cli/png_writer.h"
#include "cli/progress.h"

namespace tarncli {
namespace {

struct FramePaths {
  std::string fits;  // empty when not written
  std::string png;
};

std::vector<FramePaths> PlanPaths(const CaptureOptions& o) {
  // A directory as the prefix means files named "capture" inside it.
  std::string prefix = o.output;
  struct stat st {};
  if (!prefix.empty() &&
      (prefix.back() == '/' || (stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))) {
    if (prefix.back() != '/') prefix += '/';
    prefix += "capture";
  }
  std::vector<FramePaths> paths(o.count);
  for (uint32_t i = 0; i < o.count; ++i) {
    if (o.format != OutputFormat::kPng) paths[i].fits = FramePath(prefix, i, o.count, ".fits");
    if (o.format != OutputFormat::kFits) paths[i].png = FramePath(prefix, i, o.count, ".png");
  }
  return paths;
}

// Writes one file whole: into a temporary file, renamed when complete. An
// interrupt arriving meanwhile leaves no file behind.
template <typename Write>
Status WriteFile(const std::string& path, Write write) {
  OutputFile file;
  if (Status s = file.Create(path); !s.ok()) return s;
  if (Status s = write(file.stream()); !s.ok()) return s;
  if (Interrupted()) return Status::Error(ExitCode::kInterrupted, "interrupted");
  return file.Commit();
}

Status WriteFrame(const Frame& frame, const RgbImage* rgb, const FramePaths& paths) {
  if (!paths.fits.empty()) {
    Status s = WriteFile(paths.fits, [&](FILE* out) {
      return rgb != nullptr ? WriteFitsRgb(frame.info, *rgb, out) : WriteFitsRaw(frame, out);
    });
    if (!s.ok()) return s;
  }
  if (!paths.png.empty()) {
    Status s = WriteFile(paths.png, [&](FILE* out) {
      return rgb != nullptr ? WritePngRgb(*rgb, out) : WritePngRaw(frame, out);
    });
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

void Report(const Frame& frame, const RgbImage* rgb, const FramePaths& paths) {
  const FrameInfo& f = frame.info;
  char what[160];
  if (rgb != nullptr) {
    std::snprintf(what, sizeof what, "%ux%u RGB from %s %u-bit, %.3f s, gain %u", rgb->width,
                  rgb->height, f.bayerPattern.c_str(), f.bits, f.exposureS, f.gain);
  } else {
    std::snprintf(what, sizeof what, "%ux%u %u-bit%s%s, %.3f s, gain %u", f.width, f.height, f.bits,
                  f.bayerPattern.empty() ? "" : " ", f.bayerPattern.c_str(), f.exposureS, f.gain);
  }
  if (!paths.fits.empty()) std::printf("wrote %s (%s)\n", paths.fits.c_str(), what);
  if (!paths.png.empty()) std::printf("wrote %s (%s)\n", paths.png.c_str(), what);
  std::fflush(stdout);
}

}  // namespace

Status RunCapture(const DeviceOptions& deviceOptions, const CaptureOptions& o) {
  if (Status s = CheckExposureSettings(o.exposure); !s.ok()) return s;
  if (o.output.empty()) return Status::Error(ExitCode::kBadArguments, "--output: a path prefix");
  const std::vector<FramePaths> paths = PlanPaths(o);
  // Refuse an output we cannot create before spending an exposure on it.
  for (const FramePaths& p : paths) {
    if (!p.fits.empty()) {
      if (Status s = CheckWritable(p.fits); !s.ok()) return s;
    }
    if (!p.png.empty()) {
      if (Status s = CheckWritable(p.png); !s.ok()) return s;
    }
  }

  // The device closes the camera on every return below. An exposure has
  // always ended when Expose returns (with its record, or by a cancel that
  // waits for the readout), so no readout outlives the session's buffer.
  Device device;
  if (Status s = device.Open(deviceOptions); !s.ok()) return s;
  // Known only once the camera answered: its identification says.
  if (o.demosaic && !device.colour()) {
    return Status::Error(ExitCode::kBadArguments,
                         "--demosaic: the camera is monochrome (give --colour for a colour "
                         "camera the tool cannot identify)");
  }
  // The settings do not change between frames, so one programming serves
  // them all (the library resends only when something changed anyway).
  ExposureSession session(device, o.exposure);
  if (Status s = session.Program(); !s.ok()) return s;

  Progress progress(stderr, o.quiet);
  using Clock = std::chrono::steady_clock;
  for (uint32_t i = 0; i < o.count; ++i) {
    const Clock::time_point frameStart = Clock::now();
    const std::string label = "frame " + std::to_string(i + 1) + "/" + std::to_string(o.count);
    Frame frame;
    ReadCounts reads;
    if (Status s = session.Expose(progress, label.c_str(), &frame, &reads); !s.ok()) return s;
    // Retried reads cost seconds each; say why the frame was slow.
    if (reads.failed != 0 && !o.quiet) {
      std::fprintf(stderr, "%s: %u of %u reads failed; the library retried\n", label.c_str(),
                   reads.failed, reads.attempted);
    }
    RgbImage rgb;
    if (o.demosaic) {
      if (Status s = DemosaicFrame(frame, &rgb); !s.ok()) return s;
    }
    if (Status s = WriteFrame(frame, o.demosaic ? &rgb : nullptr, paths[i]); !s.ok()) return s;
    Report(frame, o.demosaic ? &rgb : nullptr, paths[i]);

    // The interval runs from frame start to frame start, so it keeps a
    // steady cadence whatever the exposure and the file writing took.
    if (i + 1 < o.count && o.intervalMs != 0) {
      const auto next = frameStart + std::chrono::milliseconds(o.intervalMs);
      const auto now = Clock::now();
      if (next > now) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
        if (!SleepUnlessInterrupted(static_cast<unsigned>(wait.count()))) {
          return Status::Error(ExitCode::kInterrupted, "interrupted");
        }
      }
    }
  }
  return Status::Ok();
}

}  // namespace tarncli
