// A measuring aid for `tarncam stream` on the simulator, loaded with
// LD_PRELOAD: it times the processor time of every readout worker that
// libtarncam.so starts, split where the simulated camera hands the frame
// over, so that the library's own share per frame can be told apart from
// the simulator's rendering. Nothing in the library or the tool changes.
//
// Each worker runs ReadFrame once. Its thread's CPU clock is read
//   - when the worker starts,
//   - when it first waits on a condition variable: the simulated bulk read
//     waiting for the end of exposure and transfer (real time, no CPU),
//   - after every mutex unlock: the simulated read renders the frame while
//     it holds the camera's mutex, and its last unlock is the hand-over,
//   - when the worker returns.
// Segments per frame:
//   setup   start .. first wait: the library's readout setup and the
//           simulated read's start (an upper bound of the library's part)
//   render  last wait .. last unlock: the simulator renders the frame
//   deliver last unlock .. return: the library's row copy (and 10-bit
//           repack) into the client's buffer and the hand-over of the frame
// and, on the calling thread, the cost of starting the worker (inside
// ThreadedExposure).
//
// The elapsed real time of the rendering and of the whole worker is noted
// too: on a busy machine the rendering, which the simulated read does after
// the frame's transfer time has passed, stretches the frame period.
//
// At exit it writes a summary to standard error, or to the file named by
// TARNCAM_PROBE_OUT; TARNCAM_PROBE_CSV names a file for every frame's
// segments in microseconds.

#include <dlfcn.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double ClockUs(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}
double ThreadCpuUs() { return ClockUs(CLOCK_THREAD_CPUTIME_ID); }
double WallUs() { return ClockUs(CLOCK_MONOTONIC); }

struct Frame {
  double setup, render, deliver, total;
  double renderWall, totalWall;  // elapsed real time
  int unlocks;
};

struct WorkerState {
  bool active;
  bool waited;
  int unlocks;
  double begin, firstWait, lastWake, lastUnlock;
  double wallBegin, wallWake, wallUnlock;
};
thread_local WorkerState tWorker;

// Records, appended under a spin lock (a pthread mutex would come back
// through the interposed unlock).
std::atomic_flag gLock = ATOMIC_FLAG_INIT;
std::vector<Frame>* gFrames = nullptr;
std::vector<double>* gStarts = nullptr;

struct Spin {
  Spin() {
    while (gLock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Spin() { gLock.clear(std::memory_order_release); }
};

template <typename F>
F Next(const char* name) {
  void* p = dlsym(RTLD_NEXT, name);
  if (p == nullptr) {
    std::fprintf(stderr, "readout_cpu_probe: no %s\n", name);
    std::abort();
  }
  return reinterpret_cast<F>(p);
}

struct Start {
  void* (*routine)(void*);
  void* arg;
};

void* Worker(void* p) {
  const Start s = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  tWorker = WorkerState{true, false, 0, 0, 0, 0, 0, 0, 0, 0};
  tWorker.wallBegin = WallUs();
  tWorker.begin = ThreadCpuUs();
  void* result = s.routine(s.arg);
  const double end = ThreadCpuUs();
  const double wallEnd = WallUs();
  WorkerState w = tWorker;
  tWorker.active = false;
  Frame f{};
  f.total = end - w.begin;
  f.totalWall = wallEnd - w.wallBegin;
  f.renderWall = w.wallUnlock - w.wallWake;
  f.unlocks = w.unlocks;
  if (w.waited && w.unlocks > 0 && w.lastUnlock >= w.lastWake) {
    f.setup = w.firstWait - w.begin;
    f.render = w.lastUnlock - w.lastWake;
    f.deliver = end - w.lastUnlock;
  } else {
    f.setup = f.render = f.deliver = -1;  // no hand-over seen: not a frame read
  }
  Spin lock;
  if (gFrames == nullptr) gFrames = new std::vector<Frame>;
  gFrames->push_back(f);
  return result;
}

bool FromLibrary(void* routine) {
  Dl_info info;
  return dladdr(reinterpret_cast<void*>(routine), &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, "libtarncam") != nullptr;
}

void NoteWait() {
  if (!tWorker.active) return;
  if (!tWorker.waited) {
    tWorker.waited = true;
    tWorker.firstWait = ThreadCpuUs();
  }
}
void NoteWake() {
  if (!tWorker.active) return;
  tWorker.wallWake = WallUs();
  tWorker.lastWake = ThreadCpuUs();
}

struct Stats {
  double mean, median, p90, p99, max;
};
Stats Summarise(std::vector<double> v) {
  if (v.empty()) return {0, 0, 0, 0, 0};
  std::sort(v.begin(), v.end());
  double sum = 0;
  for (double x : v) sum += x;
  auto at = [&](double q) {
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
  };
  return {sum / v.size(), at(0.5), at(0.9), at(0.99), v.back()};
}

__attribute__((destructor)) void Report() {
  Spin lock;
  std::vector<Frame> frames = gFrames != nullptr ? *gFrames : std::vector<Frame>{};
  std::vector<double> starts = gStarts != nullptr ? *gStarts : std::vector<double>{};
  const char* outName = std::getenv("TARNCAM_PROBE_OUT");
  std::FILE* out = outName != nullptr ? std::fopen(outName, "w") : nullptr;
  if (out == nullptr) out = stderr;
  std::vector<double> setup, render, deliver, total, renderWall, totalWall;
  std::size_t unmatched = 0;
  for (const Frame& f : frames) {
    if (f.deliver < 0) {
      ++unmatched;
      continue;
    }
    setup.push_back(f.setup);
    render.push_back(f.render);
    deliver.push_back(f.deliver);
    total.push_back(f.total);
    renderWall.push_back(f.renderWall);
    totalWall.push_back(f.totalWall);
  }
  // The probe's own cost per clock reading, for scale.
  double probe = ThreadCpuUs();
  for (int i = 0; i < 1000; ++i) ThreadCpuUs();
  probe = (ThreadCpuUs() - probe) / 1001;
  std::fprintf(out, "readout workers: %zu (without a hand-over: %zu); worker starts: %zu\n",
               frames.size(), unmatched, starts.size());
  std::fprintf(out, "thread CPU time per frame, microseconds:\n");
  std::fprintf(out, "%-34s %9s %9s %9s %9s %9s\n", "segment", "mean", "median", "p90", "p99",
               "max");
  auto row = [&](const char* name, const std::vector<double>& v) {
    const Stats s = Summarise(v);
    std::fprintf(out, "%-34s %9.1f %9.1f %9.1f %9.1f %9.1f\n", name, s.mean, s.median, s.p90, s.p99,
                 s.max);
  };
  row("library: deliver (copy, repack)", deliver);
  row("library: setup (+ sim read start)", setup);
  row("library: worker start (caller)", starts);
  row("simulator: render", render);
  row("worker total", total);
  std::fprintf(out, "elapsed real time per frame, microseconds:\n");
  row("simulator: render", renderWall);
  row("worker (read, render, deliver)", totalWall);
  std::fprintf(out, "one clock reading costs %.2f us\n", probe);
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  const double processUs = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) * 1e6 +
                           static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec);
  std::fprintf(out, "process CPU time (tool, library, simulator): %.3f s, %.1f us per worker\n",
               processUs / 1e6, frames.empty() ? 0.0 : processUs / frames.size());
  if (out != stderr) std::fclose(out);
  if (const char* csv = std::getenv("TARNCAM_PROBE_CSV")) {
    if (std::FILE* f = std::fopen(csv, "w")) {
      std::fprintf(f,
                   "setup_us,render_us,deliver_us,total_us,render_wall_us,total_wall_us,unlocks\n");
      for (const Frame& fr : frames)
        std::fprintf(f, "%.2f,%.2f,%.2f,%.2f,%.2f,%.2f,%d\n", fr.setup, fr.render, fr.deliver,
                     fr.total, fr.renderWall, fr.totalWall, fr.unlocks);
      std::fclose(f);
    }
  }
}

}  // namespace

extern "C" {

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*),
                   void* arg) {
  using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const Fn next = Next<Fn>("pthread_create");
  if (!FromLibrary(reinterpret_cast<void*>(routine))) return next(thread, attr, routine, arg);
  const double before = ThreadCpuUs();
  const int rc = next(thread, attr, Worker, new Start{routine, arg});
  const double cost = ThreadCpuUs() - before;
  Spin lock;
  if (gStarts == nullptr) gStarts = new std::vector<double>;
  gStarts->push_back(cost);
  return rc;
}

int pthread_mutex_unlock(pthread_mutex_t* m) {
  using Fn = int (*)(pthread_mutex_t*);
  static const Fn next = Next<Fn>("pthread_mutex_unlock");
  const int rc = next(m);
  if (tWorker.active) {
    ++tWorker.unlocks;
    tWorker.lastUnlock = ThreadCpuUs();
    tWorker.wallUnlock = WallUs();
  }
  return rc;
}

int pthread_cond_wait(pthread_cond_t* c, pthread_mutex_t* m) {
  using Fn = int (*)(pthread_cond_t*, pthread_mutex_t*);
  static const Fn next = Next<Fn>("pthread_cond_wait");
  NoteWait();
  const int rc = next(c, m);
  NoteWake();
  return rc;
}

int pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m, const timespec* t) {
  using Fn = int (*)(pthread_cond_t*, pthread_mutex_t*, const timespec*);
  static const Fn next = Next<Fn>("pthread_cond_timedwait");
  NoteWait();
  const int rc = next(c, m, t);
  NoteWake();
  return rc;
}

int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock,
                           const timespec* t) {
  using Fn = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const timespec*);
  static const Fn next = Next<Fn>("pthread_cond_clockwait");
  NoteWait();
  const int rc = next(c, m, clock, t);
  NoteWake();
  return rc;
}

}  // extern "C"
