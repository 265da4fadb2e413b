#include "sim/sim_clock.h"

#include <chrono>
#include <thread>

namespace sim {
namespace {
int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

RealClock::RealClock() : originNs(SteadyNs()) {}

uint64_t RealClock::NowUs() const { return static_cast<uint64_t>((SteadyNs() - originNs) / 1000); }

void RealClock::Sleep(uint64_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

bool RealClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          uint64_t deadlineUs, const std::function<bool()>& done, bool /*held*/) {
  if (deadlineUs == kForever) {
    cv.wait(lock, done);
    return true;
  }
  const auto at = std::chrono::steady_clock::time_point(
      std::chrono::nanoseconds(originNs + static_cast<int64_t>(deadlineUs) * 1000));
  return cv.wait_until(lock, at, done);
}

void VirtualClock::MoveTo(uint64_t t) {
  uint64_t now = nowUs.load(std::memory_order_acquire);
  while (now < t && !nowUs.compare_exchange_weak(now, t, std::memory_order_acq_rel)) {
  }
}

void VirtualClock::Advance(uint64_t us) {
  nowUs.fetch_add(us, std::memory_order_acq_rel);
  std::vector<Waker> toCall;
  {
    std::lock_guard<std::mutex> g(wakersMu);
    for (auto& [id, w] : wakers) toCall.push_back(w);
  }
  for (auto& w : toCall) w();
}

int VirtualClock::AddWaker(Waker w) {
  std::lock_guard<std::mutex> g(wakersMu);
  wakers.emplace_back(nextWaker, std::move(w));
  return nextWaker++;
}

void VirtualClock::RemoveWaker(int id) {
  std::lock_guard<std::mutex> g(wakersMu);
  std::erase_if(wakers, [id](const auto& p) { return p.first == id; });
}

bool VirtualClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                             uint64_t deadlineUs, const std::function<bool()>& done, bool held) {
  if (done()) return true;
  if (!held) {
    // Nothing else can happen "meanwhile" in virtual time for a wait that is
    // not held: jump to its end. A wait with no end would hang a test; it
    // ends at once instead, as if it had been abandoned.
    if (deadlineUs != kForever) MoveTo(deadlineUs);
    cv.notify_all();
    return done();
  }
  cv.wait(lock, [&] { return done() || NowUs() >= deadlineUs; });
  return done();
}

}  // namespace sim
