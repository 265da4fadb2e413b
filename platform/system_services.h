#pragma once
// The operating-system half of the platform seam: waits, clocks, the readout
// worker, the caller's completion semaphore and the one message box. Kept
// apart from the USB half so that the simulator can pair its transport with
// either the real clock (the command-line tool) or a virtual one (tests).
//
// The core compiled into the Windows DLL has no standard thread library:
// every wait, clock reading and thread it needs comes through here.

#include <atomic>
#include <cstdint>

#include "platform/handles.h"

namespace tarncam {

class SystemServices {
 public:
  virtual ~SystemServices() = default;

  // Blocks the calling thread for `ms` milliseconds. Alertable on Windows
  // (queued APCs run), which is what the fixed protocol waits use. Virtual
  // clocks advance instead of blocking.
  virtual void SleepAlertable(uint32_t ms) = 0;

  using ThreadEntry = void (*)(void* arg);

  // Starts one detached thread running entry(arg). Nothing joins it; its
  // resources go when it returns. Returns a value other than
  // kThreadStartFailed on success (a thread handle where the platform has
  // one), kThreadStartFailed when no thread could be started.
  static constexpr std::uintptr_t kThreadStartFailed = ~std::uintptr_t{0};
  virtual std::uintptr_t StartWorker(ThreadEntry entry, uint32_t stackSize, void* arg) = 0;

  // Releases the caller's semaphore by one. Returns nonzero on success.
  virtual uint32_t SignalSemaphore(Handle semaphore) = 0;

  // Shows a modal message with one OK button and no owner window; returns
  // when the user dismissed it.
  virtual void ShowMessage(const char* text, const char* caption) = 0;

  // Nanoseconds on a clock that never goes back, from an arbitrary origin:
  // the one SleepAlertable and WaitForZero measure, so on a virtual clock it
  // is virtual time.
  virtual uint64_t MonotonicNs() = 0;

  // Wall-clock time: nanoseconds since 1970-01-01T00:00:00 UTC.
  virtual int64_t UtcNs() = 0;

  // Blocks until `flag` reads 0 or `timeoutMs` have passed on this
  // platform's clock, whichever comes first, and returns whether it read 0.
  // Whoever stores 0 into a flag that others may wait on calls
  // WakeFlagWaiters(flag) after the store, so that blocking implementations
  // need not poll. A virtual clock moves only when others move it: a wait
  // there ends when the flag clears or when other threads have moved time
  // past its end.
  virtual bool WaitForZero(const std::atomic<uint32_t>& flag, uint32_t timeoutMs) = 0;
  virtual void WakeFlagWaiters(const std::atomic<uint32_t>& flag) = 0;

  // Waits `ms` milliseconds as SleepAlertable does, but ends early, within
  // kStopSliceMs, once `stop` reads nonzero; whoever sets it calls
  // WakeFlagWaiters(stop), so that blocking implementations end at once.
  // Returns whether `stop` ended the wait (or was set already). For the
  // camera API's cancel and close; the exported functions keep their fixed
  // waits and never use it. This default sleeps in slices.
  static constexpr uint32_t kStopSliceMs = 20;
  virtual bool SleepUnless(const std::atomic<uint32_t>& stop, uint32_t ms) {
    for (uint32_t left = ms; stop.load(std::memory_order_acquire) == 0; ) {
      if (left == 0) return false;
      const uint32_t slice = left < kStopSliceMs ? left : kStopSliceMs;
      SleepAlertable(slice);
      left -= slice;
    }
    return true;
  }
};

}  // namespace tarncam
