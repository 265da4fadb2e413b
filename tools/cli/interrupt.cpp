#include "cli/interrupt.h"

#include <signal.h>
#include <time.h>

#include <algorithm>

namespace tarncli {
namespace {

volatile sig_atomic_t gInterrupted = 0;

extern "C" void OnSignal(int) { gInterrupted = 1; }

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Restart interrupted system calls: the library's own waits and transfers
  // carry on, and the tool's loops notice the flag within one slice.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return gInterrupted != 0; }

bool SleepUnlessInterrupted(unsigned ms) {
  constexpr unsigned kSliceMs = 10;
  while (ms > 0 && !Interrupted()) {
    const unsigned slice = std::min(ms, kSliceMs);
    const timespec t{0, static_cast<long>(slice) * 1'000'000L};
    nanosleep(&t, nullptr);  // a signal may cut it short; the loop re-checks
    ms -= slice;
  }
  return !Interrupted();
}

}  // namespace tarncli
