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

}  // namespace tarncam
