#pragma once
// Windows system services: SleepEx, _beginthread, ReleaseSemaphore and
// MessageBoxA.

#include "platform/system_services.h"

namespace tarncam {

class Win32System final : public SystemServices {
 public:
  constexpr Win32System() = default;
  void SleepAlertable(uint32_t ms) override;
  std::uintptr_t StartWorker(ThreadEntry entry, uint32_t stackSize, void* arg) override;
  uint32_t SignalSemaphore(Handle semaphore) override;
  void ShowMessage(const char* text, const char* caption) override;
};

}  // namespace tarncam
