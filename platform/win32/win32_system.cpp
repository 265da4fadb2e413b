#include "platform/win32/win32_system.h"

#include <process.h>
#include <windows.h>

namespace tarncam {

void Win32System::SleepAlertable(uint32_t ms) { SleepEx(ms, TRUE); }

std::uintptr_t Win32System::StartWorker(ThreadEntry entry, uint32_t stackSize, void* arg) {
  // _beginthread closes the thread's handle itself when the thread ends: the
  // worker is detached. It reports failure as -1.
  return _beginthread(entry, stackSize, arg);
}

uint32_t Win32System::SignalSemaphore(Handle semaphore) {
  return ReleaseSemaphore(reinterpret_cast<HANDLE>(semaphore), 1, nullptr) != FALSE ? 1 : 0;
}

void Win32System::ShowMessage(const char* text, const char* caption) {
  MessageBoxA(nullptr, text, caption, MB_OK);
}

uint64_t Win32System::MonotonicNs() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  // Split so that the product cannot overflow at any counter frequency.
  const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
  const uint64_t c = static_cast<uint64_t>(count.QuadPart);
  return c / f * 1'000'000'000 + c % f * 1'000'000'000 / f;
}

int64_t Win32System::UtcNs() {
  // FILETIME counts 100 ns since 1601-01-01.
  constexpr int64_t kUnixEpochIn100ns = 116444736000000000;
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const int64_t ticks =
      static_cast<int64_t>(static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime);
  return (ticks - kUnixEpochIn100ns) * 100;
}

bool Win32System::WaitForZero(const std::atomic<uint32_t>& flag, uint32_t timeoutMs) {
  // Polled: the only wait of this kind is a reopen meeting a readout that a
  // close had to abandon, rare enough that a kernel object per camera would
  // cost more than it saves.
  // Timed by the performance counter, which every Windows the DLL loads on
  // has (GetTickCount64 would tie the DLL to newer ones).
  constexpr DWORD kPollMs = 5;
  const uint64_t end = MonotonicNs() + uint64_t{timeoutMs} * 1'000'000;
  for (;;) {
    if (flag.load(std::memory_order_acquire) == 0) return true;
    if (MonotonicNs() >= end) return false;
    Sleep(kPollMs);
  }
}

void Win32System::WakeFlagWaiters(const std::atomic<uint32_t>&) {}

}  // namespace tarncam
