#pragma once
// Time for the simulated camera. The command-line tool runs the camera on the
// real clock; tests run it on a virtual clock that only moves when someone
// waits on it, so the library's fixed waits (500 ms, 3 s, 5 s) and the
// camera's exposures cost no real time.
//
// Waiting is done with the camera's own mutex and condition variable, so that
// an abort or a close can end a wait early on either clock.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace sim {

inline constexpr uint64_t kForever = ~uint64_t{0};

class Clock {
 public:
  virtual ~Clock() = default;

  // Microseconds since the clock was made.
  virtual uint64_t NowUs() const = 0;

  // Blocks the caller for `us` (the real clock) or moves time on (virtual).
  virtual void Sleep(uint64_t us) = 0;

  // Waits, holding `lock` (on `cv`'s mutex) between checks, until `done()`
  // or until NowUs() reaches `deadlineUs`. Returns done(). On the virtual
  // clock a wait that is not `held` does not block: it moves time to the
  // deadline at once unless done() already holds. A `held` wait blocks for
  // real until done(), or until others have moved virtual time past the
  // deadline; it is how tests keep a read pending.
  virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         uint64_t deadlineUs, const std::function<bool()>& done, bool held) = 0;

  // Wakers are called after virtual time moved, outside any lock of the
  // clock's users; a camera registers one that wakes its held waits.
  using Waker = std::function<void()>;
  virtual int AddWaker(Waker) { return -1; }
  virtual void RemoveWaker(int) {}
};

// std::chrono::steady_clock.
class RealClock final : public Clock {
 public:
  RealClock();
  uint64_t NowUs() const override;
  void Sleep(uint64_t us) override;
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 uint64_t deadlineUs, const std::function<bool()>& done, bool held) override;

 private:
  int64_t originNs;
};

// Time moves only through Sleep, Advance and the waits of the camera.
// Concurrent sleeps add up: each one moves the shared time on by its length.
class VirtualClock final : public Clock {
 public:
  uint64_t NowUs() const override { return nowUs.load(std::memory_order_acquire); }
  void Sleep(uint64_t us) override { Advance(us); }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 uint64_t deadlineUs, const std::function<bool()>& done, bool held) override;

  // Moves time on and wakes the held waits.
  void Advance(uint64_t us);

  int AddWaker(Waker w) override;
  void RemoveWaker(int id) override;

 private:
  // Moves time forward to `t` (never back) without waking anyone: used from
  // inside a camera's own lock.
  void MoveTo(uint64_t t);

  std::atomic<uint64_t> nowUs{0};
  std::mutex wakersMu;
  std::vector<std::pair<int, Waker>> wakers;
  int nextWaker = 0;
};

}  // namespace sim
