#pragma once
// POSIX system services: nanosleep, detached pthreads, sem_post on the
// caller's sem_t, CLOCK_MONOTONIC and CLOCK_REALTIME, and the message written
// to standard error (a shared library has no window to show it in).

#include "platform/system_services.h"

namespace tarncam {

class PosixSystem final : public SystemServices {
 public:
  constexpr PosixSystem() = default;
  void SleepAlertable(uint32_t ms) override;
  std::uintptr_t StartWorker(ThreadEntry entry, uint32_t stackSize, void* arg) override;
  uint32_t SignalSemaphore(Handle semaphore) override;
  void ShowMessage(const char* text, const char* caption) override;
  uint64_t MonotonicNs() override;
  int64_t UtcNs() override;
  bool WaitForZero(const std::atomic<uint32_t>& flag, uint32_t timeoutMs) override;
  void WakeFlagWaiters(const std::atomic<uint32_t>& flag) override;
  bool SleepUnless(const std::atomic<uint32_t>& stop, uint32_t ms) override;
};

}  // namespace tarncam
