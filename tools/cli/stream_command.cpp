// `tarncam stream`: frames back to back, nothing written; reports the frame
// rate and the bulk reads that failed.

#include <chrono>
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/device.h"
#include "cli/exposure_session.h"
#include "cli/progress.h"

namespace tarncli {
namespace {

struct Tally {
  uint32_t frames = 0;
  uint32_t lost = 0;  // frames for which no read succeeded
  uint32_t reads = 0;
  uint32_t failedReads = 0;
};

void PrintSummary(const Tally& t, double seconds) {
  const double fps = seconds > 0 ? t.frames / seconds : 0.0;
  std::printf("%u frames in %.3f s: %.2f frames/s; failed reads: %u of %u", t.frames, seconds, fps,
              t.failedReads, t.reads);
  if (t.lost != 0) std::printf("; frames lost: %u", t.lost);
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

Status RunStream(const DeviceOptions& deviceOptions, const StreamOptions& o) {
  if (Status s = CheckExposureSettings(o.exposure); !s.ok()) return s;
  Device device;
  if (Status s = device.Open(deviceOptions); !s.ok()) return s;
  ExposureSession session(device, o.exposure);
  if (Status s = session.Program(); !s.ok()) return s;

  // Only delivered frames count towards the rate; the clock starts after
  // programming, which waits on the camera.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  Progress quiet(stderr, true);
  Tally tally;
  Status result = Status::Ok();
  for (uint32_t i = 0; i < o.count; ++i) {
    const Clock::time_point frameStart = Clock::now();
    Frame frame;
    ReadCounts reads;
    const std::string label = "frame " + std::to_string(i + 1);
    Status s = session.Expose(quiet, label.c_str(), &frame, &reads);
    tally.reads += reads.attempted;
    tally.failedReads += reads.failed;
    // A lost frame is counted and the stream goes on; Ctrl-C ends it with
    // the summary of what was taken so far.
    if (s.code == ExitCode::kInterrupted) {
      result = s;
      break;
    }
    if (s.ok()) {
      ++tally.frames;
    } else {
      ++tally.lost;
    }
    if (o.perFrame) {
      const double took = std::chrono::duration<double>(Clock::now() - frameStart).count();
      std::printf("frame %u: %s in %.3f s, reads %u, failed %u\n", i + 1,
                  s.ok() ? "delivered" : "lost", took, reads.attempted, reads.failed);
    }
  }
  PrintSummary(tally, std::chrono::duration<double>(Clock::now() - start).count());
  if (result.ok() && tally.frames == 0) {
    return Status::Error(ExitCode::kFailure, "the camera delivered no frame");
  }
  return result;
}

}  // namespace tarncli
