#pragma once
// Windows system services: SleepEx, _beginthread, ReleaseSemaphore,
// MessageBoxA, the performance counter and the system time.

#include "platform/system_services.h"

namespace tarncam {

class Win32System final : public SystemServices {
 public:
  constexpr Win32System() = default;
  void SleepAlertable(uint32_t ms) override;
  std::uintptr_t StartWorker(ThreadEntry entry, uint32_t stackSize, void* arg) override;
  uint32_t SignalSemaphore(Handle semaphore) override;
  void ShowMessage(const char* text, const char* caption) override;
  uint64_t MonotonicNs() override;
  int64_t UtcNs() override;
  bool WaitForZero(const std::atomic<uint32_t>& flag, uint32_t timeoutMs) override;
  void WakeFlagWaiters(const std::atomic<uint32_t>& flag) override;
};

}  // namespace tarncam
