#pragma once
// What the soak's two modes share: run settings, the step in progress for
// reports, failure reports with their reproduce command, a seeded generator,
// guarded destinations and the watchdog. Neither library header is included
// here, so each mode includes only the interface it drives.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace soak {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

struct Settings {
  uint64_t seed = 1;
  uint64_t seeds = 1;
  uint64_t exposures = 1000;
  int stallSeconds = 120;
  bool quiet = false;
  bool trace = false;
  bool api = false;  // the camera API instead of the exported functions
  std::string gadget;  // --api through the USB stack: tarncam-gadget's path
  std::string program = "tarncam_soak";
};

inline Settings gSettings;
inline std::atomic<uint64_t> gProgress{0};
inline std::mutex gWhatMu;
inline std::string gWhat;                      // the step in progress, for reports
inline std::atomic<uint64_t> gCurrentSeed{0};  // read by the watchdog too
inline std::function<std::string()> gFailContext;  // more for a failure report (gWhatMu)
// Called once a failure is reported, before the exit (the totals so far).
inline void (*gOnFail)() = nullptr;

// What a failure report adds (the device's last words); null: nothing.
inline void SetFailContext(std::function<std::string()> context) {
  std::lock_guard<std::mutex> g(gWhatMu);
  gFailContext = std::move(context);
}

inline void SetWhat(const std::string& what) {
  if (gSettings.trace) std::fprintf(stderr, "  %s\n", what.c_str());
  std::lock_guard<std::mutex> g(gWhatMu);
  gWhat = what;
}

// A line of the trace (--trace), for reading a failing seed.
inline void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void Note(const char* format, ...) {
  if (!gSettings.trace) return;
  va_list args;
  va_start(args, format);
  std::fputs("    ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

[[noreturn]] inline void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] inline void Fail(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::string what;
  std::string context;
  {
    std::lock_guard<std::mutex> g(gWhatMu);
    what = gWhat;
    if (gFailContext) context = gFailContext();
  }
  const std::string gadget = gSettings.gadget.empty() ? "" : " --gadget " + gSettings.gadget;
  std::fprintf(stderr,
               "SOAK FAILURE: seed %" PRIu64 ", during: %s\n  %s\n%s  reproduce: %s%s%s --seed %" PRIu64
               " --exposures %" PRIu64 "\n",
               gCurrentSeed.load(), what.c_str(), text, context.c_str(), gSettings.program.c_str(),
               gSettings.api ? " --api" : "", gadget.c_str(), gCurrentSeed.load(),
               gSettings.exposures);
  std::fflush(stderr);
  static std::atomic<bool> once{false};
  if (gOnFail != nullptr && !once.exchange(true)) {
    gOnFail();
    std::fflush(stdout);
  }
  std::_Exit(1);
}

#define SOAK_CHECK(cond, ...)       \
  do {                              \
    if (!(cond)) Fail(__VA_ARGS__); \
  } while (0)

// splitmix64: small, and the same on every platform.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state(seed) {}
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  bool Chance(double p) { return (Next() >> 11) * (1.0 / 9007199254740992.0) < p; }
  template <typename T, std::size_t N>
  T Pick(const T (&values)[N]) {
    return values[Below(N)];
  }

 private:
  uint64_t state;
};

inline uint64_t ProcStatus(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0) return std::strtoull(line.c_str() + n, nullptr, 10);
  return 0;
}

// A destination of exactly the frame's size between two guard zones.
class Guarded {
 public:
  static constexpr std::size_t kGuard = 64;
  static constexpr uint8_t kFill = 0xA5;
  explicit Guarded(std::size_t n) : size(n), mem(new uint8_t[n + 2 * kGuard]) {
    std::memset(mem.get(), kFill, n + 2 * kGuard);
  }
  uint8_t* data() { return mem.get() + kGuard; }
  std::size_t Size() const { return size; }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < kGuard; ++i)
      if (mem[i] != kFill || mem[kGuard + size + i] != kFill) return false;
    return true;
  }
  bool Untouched() const {
    for (std::size_t i = 0; i < size + 2 * kGuard; ++i)
      if (mem[i] != kFill) return false;
    return true;
  }

 private:
  std::size_t size;
  std::unique_ptr<uint8_t[]> mem;
};

// Stops the run when no step completes for --stall-seconds of real time.
inline void Watchdog(std::atomic<bool>& stop) {
  uint64_t last = gProgress.load();
  auto since = std::chrono::steady_clock::now();
  while (!stop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t now = gProgress.load();
    if (now != last) {
      last = now;
      since = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - since >
               std::chrono::seconds(gSettings.stallSeconds)) {
      Fail("no progress for %d s of real time (a hang)", gSettings.stallSeconds);
    }
  }
}

// The camera API's mode (soak_api.cpp): runs `exposures` exposures for the
// current seed and prints nothing; PrintApiTotals prints the totals.
void RunApiSeed(uint64_t seed, uint64_t exposures);
void PrintApiTotals(double seconds, int violations = 0);

}  // namespace soak
