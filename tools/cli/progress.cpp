#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <string>

namespace tarncli {
namespace {

constexpr uint32_t kShowAboveMs = 1000;
constexpr int kBarWidth = 30;

}  // namespace

Progress::Progress(FILE* out, bool quiet)
    : out_(out), quiet_(quiet), tty_(isatty(fileno(out)) != 0) {}

void Progress::Start(uint32_t exposureMs, const char* label) {
  active_ = !quiet_ && exposureMs > kShowAboveMs;
  totalMs_ = exposureMs;
  lastDrawn_ = -1;
  if (!active_) return;
  // The plain line goes out on terminals too, so the same text marks the
  // start of every long exposure for whoever reads the output.
  std::fprintf(out_, "%s: exposing %.1f s\n", label, exposureMs / 1000.0);
  std::fflush(out_);
  Update(0);
}

void Progress::Update(uint64_t elapsedMs) {
  if (!active_ || !tty_) return;
  const uint64_t done = std::min<uint64_t>(elapsedMs, totalMs_);
  // Redraw only when the shown tenths change: the poll runs every 10 ms and
  // a terminal need not be rewritten that often.
  const int tenthsLeft = static_cast<int>((totalMs_ - done + 99) / 100);
  if (tenthsLeft == lastDrawn_) return;
  lastDrawn_ = tenthsLeft;
  const int filled = static_cast<int>(done * kBarWidth / totalMs_);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '-');
  if (tenthsLeft > 0) {
    std::fprintf(out_, "\r[%s] %5.1f s left ", bar.c_str(), tenthsLeft / 10.0);
  } else {
    // The camera sends the frame after the light time; that takes a moment.
    std::fprintf(out_, "\r[%s] reading out  ", bar.c_str());
  }
  std::fflush(out_);
}

// Clears the bar's line, so that the next message starts on a clean line.
void Progress::Finish() {
  if (active_ && tty_) {
    std::fprintf(out_, "\r%*s\r", kBarWidth + 16, "");
    std::fflush(out_);
  }
  active_ = false;
}

}  // namespace tarncli
