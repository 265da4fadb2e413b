#include "platform/posix/posix_system.h"

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <new>

namespace tarncam {

void PosixSystem::SleepAlertable(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal may cut the sleep short; the protocol waits must run in full.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

namespace {
struct Start {
  SystemServices::ThreadEntry entry;
  void* arg;
};

void* Trampoline(void* p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.entry(start.arg);
  return nullptr;
}
}  // namespace

std::uintptr_t PosixSystem::StartWorker(ThreadEntry entry, uint32_t /*stackSize*/, void* arg) {
  // The requested 1 KiB is below every POSIX minimum; the default stack is
  // used instead.
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return kThreadStartFailed;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* start = new (std::nothrow) Start{entry, arg};
  pthread_t thread{};
  const int rc = start == nullptr ? ENOMEM : pthread_create(&thread, &attr, Trampoline, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return kThreadStartFailed;
  }
  // An opaque token: the thread is detached and cannot be joined through it.
  const auto token = static_cast<std::uintptr_t>(thread);
  return token == kThreadStartFailed || token == 0 ? 1 : token;
}

uint32_t PosixSystem::SignalSemaphore(Handle semaphore) {
  return sem_post(reinterpret_cast<sem_t*>(semaphore)) == 0 ? 1 : 0;
}

void PosixSystem::ShowMessage(const char* text, const char* caption) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
}

namespace {
int64_t ClockNs(clockid_t id) {
  timespec t{};
  clock_gettime(id, &t);
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// One condition for every flag: the waits are rare (a reopen waiting for an
// abandoned readout), so waking them all and letting each recheck its own
// flag costs nothing. Never destroyed: a detached readout's last step is a
// wake, which may come while the process exits and runs its destructors.
struct FlagWaits {
  std::mutex mu;
  std::condition_variable cv;
  std::atomic<int> waiting{0};
};
FlagWaits& Waits() {
  static FlagWaits* const waits = new FlagWaits;
  return *waits;
}
}  // namespace

uint64_t PosixSystem::MonotonicNs() { return static_cast<uint64_t>(ClockNs(CLOCK_MONOTONIC)); }

int64_t PosixSystem::UtcNs() { return ClockNs(CLOCK_REALTIME); }

bool PosixSystem::WaitForZero(const std::atomic<uint32_t>& flag, uint32_t timeoutMs) {
  FlagWaits& w = Waits();
  std::unique_lock<std::mutex> lock(w.mu);
  // Counted before the flag is read (both sequentially consistent), so a
  // waker that finds no one waiting stored its 0 before this reads it.
  w.waiting.fetch_add(1);
  const bool clear = w.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return flag.load() == 0; });
  w.waiting.fetch_sub(1);
  return clear;
}

bool PosixSystem::SleepUnless(const std::atomic<uint32_t>& stop, uint32_t ms) {
  FlagWaits& w = Waits();
  std::unique_lock<std::mutex> lock(w.mu);
  w.waiting.fetch_add(1);
  // A steady deadline: spurious wakes and other flags' wakes do not stretch
  // the wait.
  const bool stopped = w.cv.wait_for(lock, std::chrono::milliseconds(ms),
                                     [&] { return stop.load() != 0; });
  w.waiting.fetch_sub(1);
  return stopped;
}

void PosixSystem::WakeFlagWaiters(const std::atomic<uint32_t>&) {
  FlagWaits& w = Waits();
  if (w.waiting.load() == 0) return;
  // Taking the lock orders this wake after a waiter's check of the flag.
  { std::lock_guard<std::mutex> lock(w.mu); }
  w.cv.notify_all();
}

}  // namespace tarncam
