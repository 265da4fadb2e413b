#include "cli/interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace tarncli {
namespace {

std::atomic<bool> gInterrupted{false};

}  // namespace

void InstallInterruptHandler() {
  // One thread takes the signals with sigwait; every other thread blocks
  // them. Blocked here, before the library starts any thread, so its
  // threads inherit the block. With a handler instead, the signal may land
  // on a library thread parked in a long wait, and a runtime that defers
  // handlers to safe points (ThreadSanitizer's does) then holds the flag
  // back until that wait ends: minutes, for a long exposure.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) == 0) gInterrupted.store(true, std::memory_order_release);
    }
  }).detach();
}

bool Interrupted() { return gInterrupted.load(std::memory_order_acquire); }

bool SleepUnlessInterrupted(unsigned ms) {
  constexpr unsigned kSliceMs = 10;
  while (ms > 0 && !Interrupted()) {
    const unsigned slice = std::min(ms, kSliceMs);
    const timespec t{0, static_cast<long>(slice) * 1'000'000L};
    nanosleep(&t, nullptr);
    ms -= slice;
  }
  return !Interrupted();
}

}  // namespace tarncli
