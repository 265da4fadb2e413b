// tarncam_soak: the 36 exported functions driven for many exposures through
// seeded random sequences against the simulated camera and its seeded faults,
// on a virtual clock, from several threads, with the library's promises
// checked after every step.
//
// Threads: the application thread (every step), a helper that acts during an
// exposure (cancel, close, guide pulses, a second start), a poller that reads
// isExposing all the time, the library's readout workers, and a watchdog.
// Reads the helper acts on are held pending until it has acted, so the order
// of events, and with it a failing seed, repeats.
//
// Checked at every step: nothing crashes (the sanitizer builds say so) or
// hangs (the watchdog: no step may take more than a bound of virtual time or
// stall in real time); every exposure accepted with a device open ends once,
// with isExposing back to 0 and exactly one semaphore release, and one
// accepted with no device open releases nothing; every frame is byte-exact
// against the test pattern for the window programmed, or reported short (its
// received rows exact), failed, or taken with unconfirmed settings; refused
// starts touch nothing; no released handle is used and none is left open;
// memory and threads stay bounded.
//
//   tarncam_soak [--api [--gadget PATH]] [--seed S] [--seeds K] [--exposures N]
//                [--stall-seconds T] [--quiet]
//
// --api runs the camera API's soak instead (soak_api.cpp); --gadget runs it
// through the USB stack against tarncam-gadget (the USB test VM).
//
// A failure prints what broke and the command that runs the failing seed
// alone.

#include <semaphore.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "exports/default_camera.h"
#include "sim/frame_generator.h"
#include "sim/sim_camera.h"
#include "soak/soak_common.h"
#include "tarncam/tarncam.h"
#include "tarncam/tarncam_native.h"
#include "tarncam/tarncam_sim.h"

namespace {

using namespace soak;

constexpr uint32_t kPitchFull = 796;
constexpr uint32_t kRows = 480;
// The most virtual time one step may take: five failed reads of a 2 s
// exposure with their resets (about 33 s), an open of a blank controller
// with a slow renumeration (about 11 s), with room to spare.
constexpr uint64_t kStepBudgetUs = 120'000'000;

// ---------------------------------------------------------------------------
// Totals

struct Totals {
  uint64_t exposures = 0, inlineExposures = 0, threadedExposures = 0, refusedStarts = 0;
  uint64_t complete = 0, exact = 0, shortFrames = 0, failed = 0, unconfirmed = 0, noDevice = 0;
  uint64_t cancels = 0, closesDuringExposure = 0, earlyCloses = 0, guidePulses = 0;
  uint64_t opens = 0, openFailures = 0, closes = 0, unplugs = 0, cameras = 0, outputs = 0;
  uint64_t blankCameras = 0, slowCameras = 0, messages = 0, steps = 0;
  sim::FaultCounts faults;
  uint64_t maxRssKb = 0, maxThreads = 0;
};

const char* kActionNames[] = {"none", "guide", "cancel", "close", "close racing the start",
                              "second start", "isExposing"};

// ---------------------------------------------------------------------------
// The expected frame: the test pattern over the transfer, as the window's
// destination receives it.

struct Geometry {
  uint32_t width = 752, height = 480;
  bool ten = false;
  uint32_t Bps() const { return ten ? 2 : 1; }
  uint32_t Skip() const { return width == 376 || width == 400 ? 50 : 0; }
  uint32_t Pitch() const { return height == kRows ? kPitchFull : 660; }
  std::size_t Bytes() const { return std::size_t{width} * height * Bps(); }
};

class Pattern {
 public:
  Pattern() : p8(kRows * kPitchFull), p10(kRows * kPitchFull * 2) {
    for (uint32_t r = 0; r < kRows; ++r)
      for (uint32_t c = 0; c < kPitchFull; ++c) {
        p8[r * kPitchFull + c] = static_cast<uint8_t>(sim::TestPatternSample(r, c, false));
        const uint32_t v = sim::TestPatternSample(r, c, true);
        p10[2 * (r * kPitchFull + c)] = static_cast<uint8_t>(v);
        p10[2 * (r * kPitchFull + c) + 1] = static_cast<uint8_t>(v >> 8);
      }
  }
  // The first row (of `rows`) of `dest` that differs, or -1.
  int FirstBadRow(const uint8_t* dest, const Geometry& g, uint32_t rows) const {
    const std::size_t rowSize = std::size_t{g.width} * g.Bps();
    const uint8_t* base = g.ten ? p10.data() : p8.data();
    for (uint32_t r = 0; r < rows; ++r) {
      const uint8_t* want = base + (std::size_t{r} * kPitchFull + g.Skip()) * g.Bps();
      if (std::memcmp(dest + r * rowSize, want, rowSize) != 0) return static_cast<int>(r);
    }
    return -1;
  }

 private:
  std::vector<uint8_t> p8, p10;
};

// ---------------------------------------------------------------------------
// One seed's run

class Soak {
 public:
  Soak(uint64_t seed, const Pattern& pattern, Totals& totals)
      : rng(seed), pattern(pattern), totals(totals), sys(clock) {}

  void Run(uint64_t exposures);

 private:
  // --- cameras and the device ---
  void NewCamera();
  void Open();
  void Close();
  void Program();
  void Unplug();

  // --- exposures ---
  enum class Action { kNone, kGuide, kCancel, kClose, kCloseEarly, kSecondStart, kIsExposing };
  void InlineExposure();
  void ThreadedExposure();
  // Returns whether it acted (a read became pending before the exposure ended).
  bool Helper(Action action, uint64_t readsBefore, const std::atomic<bool>& done, Guarded* second);
  bool WaitPendingOrDone(uint64_t readsBefore, const std::atomic<bool>& done);
  void CheckEnd(sem_t* sem, bool semRegistered, bool hadDevice, bool mayMissDevice,
                const char* kind);
  void CheckFrame(const uint8_t* dest, bool hadDevice, bool mayMissDevice);

  // --- everything else ---
  void Output();
  void Requests();
  void CheckIdle();
  void CheckResources();

  void Step(const char* what);

  Rng rng;
  const Pattern& pattern;
  Totals& totals;
  sim::VirtualClock clock;
  sim::SimSystem sys;
  std::unique_ptr<sim::SimCamera> cam;
  sim::Options opts;
  uint64_t cameraBudget = 0;  // exposures before the next camera is plugged in

  // What the application believes.
  bool open = false;
  bool programmedSinceOpen = false;
  bool needRecovery = false;
  int failedOpens = 0;
  Geometry programmed;  // the window of the last programming with the device open
  Geometry wanted;
  bool lastFrameInRaw = false;  // the last good frame sits packed in the raw buffer
  Geometry rawGeometry;
  uint64_t workersWaited = 0;
  sem_t sem;
  uint64_t stepStartUs = 0;
};

void Soak::Step(const char* what) {
  gProgress.fetch_add(1, std::memory_order_relaxed);
  ++totals.steps;
  const uint64_t now = clock.NowUs();
  SOAK_CHECK(now - stepStartUs <= kStepBudgetUs,
             "the previous step took %.1f s of virtual time (more than %.0f s)",
             (now - stepStartUs) / 1e6, kStepBudgetUs / 1e6);
  stepStartUs = now;
  SetWhat(what);
}

void Soak::NewCamera() {
  Step("a new camera");
  if (open) Close();
  SOAK_CHECK(sys.WaitForWorkers(static_cast<int>(sys.WorkersStarted()), 60000),
             "a readout worker did not end");
  opts = sim::DefaultOptions();
  opts.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
  opts.seed = rng.Next();
  opts.colour = rng.Below(2);
  const double readFail[] = {0, 0, 0.01, 0.05, 0.2};
  const double timeouts[] = {0, 0, 0.01, 0.05};
  const double shorts[] = {0, 0.01, 0.05};
  // A download is 381 transfers, none checked: above a few per thousand
  // hardly one gets through whole, as on a real link that bad.
  const double control[] = {0, 0, 0.0005, 0.002};
  const double disconnects[] = {0, 0, 0.002, 0.01};
  const uint32_t replug[] = {0, 300, 4000};
  const uint32_t renumerate[] = {1500, 1500, 6500};  // 6500: back only after the library's 5 s wait
  opts.read_fail_probability = rng.Pick(readFail);
  opts.read_timeout_probability = rng.Pick(timeouts);
  opts.short_read_probability = rng.Pick(shorts);
  opts.control_fail_probability = rng.Pick(control);
  opts.disconnect_probability = rng.Pick(disconnects);
  opts.replug_ms = rng.Pick(replug);
  opts.replug_blank = rng.Below(2);
  // A camera plugged in comes up blank; only the first of the process may
  // already run firmware (the library has sent it nothing yet either way).
  static bool first = true;
  opts.blank_controller = first ? (rng.Below(4) == 0 ? 1 : 0) : 1;
  first = false;
  opts.renumerate_ms = rng.Pick(renumerate);
  totals.blankCameras += opts.blank_controller;
  totals.slowCameras += opts.renumerate_ms > 5000 ? 1 : 0;
  ++totals.cameras;

  tarncam::UsePlatform(nullptr, nullptr);
  if (cam) {
    const sim::FaultCounts f = cam->Faults();
    SOAK_CHECK(f.releasedHandleUses == 0, "%" PRIu64 " uses of released handles",
               f.releasedHandleUses);
    totals.faults.readsFailed += f.readsFailed;
    totals.faults.readsTimedOut += f.readsTimedOut;
    totals.faults.readsShort += f.readsShort;
    totals.faults.controlFailed += f.controlFailed;
    totals.faults.disconnects += f.disconnects;
    totals.faults.unplugs += f.unplugs;
    totals.faults.blankReturns += f.blankReturns;
    cam.reset();
  }
  Note("read faults %.3f failed, %.3f timed out, %.3f short; control %.3f; disconnect %.3f "
       "(replug %u ms, blank %d); blank at start %d; renumeration %u ms",
       opts.read_fail_probability, opts.read_timeout_probability, opts.short_read_probability,
       opts.control_fail_probability, opts.disconnect_probability, opts.replug_ms,
       opts.replug_blank, opts.blank_controller, opts.renumerate_ms);
  cam = std::make_unique<sim::SimCamera>(opts, clock);
  tarncam::UsePlatform(cam.get(), &sys);
  cameraBudget = 50 + rng.Below(400);
}

void Soak::Open() {
  Step("openUSB");
  // A camera that was unplugged for good gets plugged in again by the user.
  if (!cam->Stats().present && rng.Below(2) == 0) cam->SetPresent(true);
  const size_t messages = sys.Messages().size();
  const uint32_t r = ::openUSB(0);
  totals.messages += sys.Messages().size() - messages;
  ++totals.opens;
  Note("openUSB: %u (downloads so far %" PRIu64 ")", r, cam->Stats().firmware_downloads);
  open = r == 1;
  programmedSinceOpen = false;
  if (open) {
    failedOpens = 0;
    needRecovery = false;
    SOAK_CHECK(cam->OpenHandles() == 2, "open device with %d handles", cam->OpenHandles());
    return;
  }
  ++totals.openFailures;
  SOAK_CHECK(::DEBUG(99) == 0xFFFFFFFFu, "openUSB returned 0 but a device is open");
  // The user waits a little before trying again: a renumerating or
  // replugging camera comes back meanwhile.
  clock.Advance(2'000'000);
  if (++failedOpens > 40)
    Fail("openUSB failed 40 times in a row (camera present: %d, programmed: %d)",
         cam->Stats().present, cam->Stats().programmed);
}

void Soak::Close() {
  Step("closeUSB");
  ::closeUSB();
  ++totals.closes;
  open = false;
  SOAK_CHECK(::isExposing() == 0, "isExposing is 1 after closeUSB");
}

void Soak::Unplug() {
  Step("unplug");
  cam->SetPresent(false);
  ++totals.unplugs;
}

void Soak::Program() {
  Step("settings and ProgramCamera");
  // Windows within the sensor's contract: rows shorter than the full height
  // carry 616 columns.
  Geometry g;
  switch (rng.Below(6)) {
    case 0:
      g = {752, 480, false};
      break;
    case 1:
      g = {rng.Below(2) != 0 ? 376u : 400u, rng.Below(2) != 0 ? 480u : 1 + rng.Below(479), false};
      break;
    case 2:
      g = {1 + rng.Below(752), 480, false};
      break;
    case 3:
      g = {1 + rng.Below(8), 1 + rng.Below(8), false};
      break;
    default:
      g = {1 + rng.Below(616), 1 + rng.Below(479), false};
      break;
  }
  g.ten = rng.Below(2) != 0;
  ::Subframe(g.width, g.height);
  const uint32_t tenBitWords[] = {9, 10, 16, 0, 0xFFFFFFFF};
  ::DynamicRange(g.ten ? rng.Pick(tenBitWords) : 8);
  ::VerticalFlip(rng.Below(2));
  ::HorizontalFlip(rng.Below(3));
  ::SetAGC(rng.Below(2));
  ::SetCompanding(rng.Below(2));
  ::RowNoise(rng.Below(2));
  ::ADCRef(rng.Below(9));
  ::SetDigitalGain(static_cast<uint32_t>(rng.Next()));
  const uint32_t exposures[] = {0, 1, 5, 16, 17, 50, 200, 1000, 2000};
  const uint32_t exposure = rng.Pick(exposures);
  ::ProgramCamera(exposure, rng.Below(120), rng.Below(256), 0);
  Note("%ux%u %s-bit, %u ms, device %s; camera now %ux%u depth %u", g.width, g.height,
       g.ten ? "10" : "8", exposure, open ? "open" : "closed", cam->Sensor().rowWidth,
       cam->Sensor().windowHeight, cam->Sensor().depth);
  wanted = g;
  if (open) {
    programmed = g;
    programmedSinceOpen = true;
  }
}

void Soak::Requests() {
  Step("requests");
  const uint32_t expected = open ? 0u : 1u;
  switch (rng.Below(6)) {
    case 0: {
      const uint32_t v = ::DEBUG(99);
      SOAK_CHECK(open || v == 0xFFFFFFFFu, "DEBUG with no device open gave %08X", v);
      break;
    }
    case 1:
      SOAK_CHECK(open || ::GetVIDPID() == 0, "GetVIDPID with no device open was not 0");
      if (open) ::GetVIDPID();
      break;
    case 2:
      SOAK_CHECK(::GuideCommandXY(rng.Below(16), static_cast<int32_t>(rng.Below(3000)) - 1,
                                  static_cast<int32_t>(rng.Below(3000)) - 1) == expected,
                 "GuideCommandXY result");
      ++totals.guidePulses;
      break;
    case 3:
      SOAK_CHECK(::CancelGuide(rng.Below(2), rng.Below(2)) == expected, "CancelGuide result");
      break;
    case 4:
      // The abort with nothing to abort: the camera ignores it.
      ::CancelExposure();
      break;
    default:
      if (!open) SOAK_CHECK(::SendRegister(1, 2) == 1 && ::CameraReset() == 1, "requests with no device");
      else ::SendRegister(rng.Below(0x20000), rng.Below(0x20000));
      break;
  }
}

// The last exposure's frame against what the application may rely on.
void Soak::CheckFrame(const uint8_t* dest, bool hadDevice, bool mayMissDevice) {
  uint32_t received = 0, expected = 0;
  const uint32_t outcome = tarncam_last_frame(&received, &expected);
  const uint32_t kind = outcome & 0xFF;
  const bool unconfirmed = (outcome & TARNCAM_LAST_FRAME_UNCONFIRMED) != 0;
  Note("frame outcome %#x, %u of %u bytes; camera %ux%u depth %u", outcome, received, expected,
       cam->Sensor().rowWidth, cam->Sensor().windowHeight, cam->Sensor().depth);
  lastFrameInRaw = false;
  if (!hadDevice || kind == TARNCAM_LAST_FRAME_NONE) {
    SOAK_CHECK(kind == TARNCAM_LAST_FRAME_NONE || hadDevice, "a frame was read with no device open");
    SOAK_CHECK(!hadDevice || mayMissDevice, "an exposure with a device open read nothing");
    ++totals.noDevice;
    return;
  }
  const Geometry& g = programmed;
  SOAK_CHECK(expected == std::min<uint64_t>(uint64_t{g.Pitch()} * g.height * g.Bps(), 784000),
             "the read asked for %u bytes, the %ux%u window needs %u", expected, g.width, g.height,
             g.Pitch() * g.height * g.Bps());
  if (unconfirmed) ++totals.unconfirmed;
  if (kind == TARNCAM_LAST_FRAME_FAILED) {
    ++totals.failed;
    needRecovery = true;  // the application closes and reopens after a failed frame
    return;
  }
  uint32_t rows = g.height;
  if (kind == TARNCAM_LAST_FRAME_SHORT) {
    ++totals.shortFrames;
    rows = std::min<uint32_t>(rows, received / (g.Pitch() * g.Bps()));
  } else {
    SOAK_CHECK(kind == TARNCAM_LAST_FRAME_COMPLETE, "unknown frame outcome %u", outcome);
    SOAK_CHECK(received == expected, "a complete frame of %u of %u bytes", received, expected);
    ++totals.complete;
  }
  if (unconfirmed || !programmedSinceOpen) return;
  const int bad = pattern.FirstBadRow(dest, g, rows);
  SOAK_CHECK(bad < 0, "%s frame %ux%u %s-bit: row %d differs from the test pattern",
             kind == TARNCAM_LAST_FRAME_SHORT ? "short" : "complete", g.width, g.height,
             g.ten ? "10" : "8", bad);
  ++totals.exact;
  if (kind == TARNCAM_LAST_FRAME_COMPLETE && dest == ::getbufptr()) {
    lastFrameInRaw = true;
    rawGeometry = g;
  }
}

// The end of one exposure: isExposing cleared, the semaphore released exactly
// once when a device was open at the start and never otherwise.
void Soak::CheckEnd(sem_t* s, bool semRegistered, bool hadDevice, bool mayMissDevice,
                    const char* kind) {
  SOAK_CHECK(::isExposing() == 0, "%s exposure ended with isExposing 1", kind);
  int value = -1;
  sem_getvalue(s, &value);
  if (semRegistered) {
    const int want = hadDevice ? 1 : 0;
    SOAK_CHECK(value == want || (mayMissDevice && value == 0),
               "%s exposure released its semaphore %d times (device open at the start: %d)",
               kind, value, hadDevice);
  } else {
    SOAK_CHECK(value == 0, "%s exposure released an unregistered semaphore", kind);
  }
  while (sem_trywait(s) == 0) {
  }
}

bool Soak::WaitPendingOrDone(uint64_t readsBefore, const std::atomic<bool>& done) {
  for (;;) {
    if (cam->WaitForPendingRead(readsBefore + 1, 2)) return true;
    if (done.load()) return false;
    gProgress.fetch_add(1, std::memory_order_relaxed);
  }
}

// What another thread does while an exposure runs.
bool Soak::Helper(Action action, uint64_t readsBefore, const std::atomic<bool>& done,
                  Guarded* second) {
  switch (action) {
    case Action::kCloseEarly:
      // Races the worker's start: the close may come before its first read.
      ::closeUSB();
      return true;
    case Action::kNone:
      return false;
    default:
      break;
  }
  const bool pending = WaitPendingOrDone(readsBefore, done);
  if (pending) {
    switch (action) {
      case Action::kGuide:
        ::GuideCommandXY(rng.Below(16), static_cast<int32_t>(rng.Below(500)), -1);
        ::GuideCommand(rng.Below(16), static_cast<int32_t>(rng.Below(500)));
        ::CancelGuide(rng.Below(2), 1);
        break;
      case Action::kIsExposing:
        SOAK_CHECK(::isExposing() == 1, "isExposing is 0 while the frame read is pending");
        break;
      case Action::kSecondStart: {
        // A second start while one runs is refused and touches nothing.
        const bool threaded = rng.Below(2) != 0;
        const uintptr_t r = threaded ? ::ThreadedExposure(second->data())
                                     : ::Exposure(second->data());
        (void)r;
        SOAK_CHECK(::isExposing() == 1, "a refused start cleared isExposing");
        break;
      }
      case Action::kCancel:
        ::CancelExposure();
        break;
      case Action::kClose:
        ::closeUSB();
        SOAK_CHECK(::isExposing() == 0, "isExposing is 1 after closeUSB during an exposure");
        break;
      default:
        break;
    }
  }
  cam->HoldReads(false);
  cam->ReleaseRead();
  return pending;
}

void Soak::InlineExposure() {
  Step("Exposure");
  const Geometry g = programmed;
  const bool toRaw = rng.Below(5) == 0;
  Guarded buf(toRaw ? 0 : g.Bytes());
  uint8_t* dest = toRaw ? nullptr : buf.data();
  const bool semRegistered = rng.Below(10) < 7;
  ::ExposureSemaphore(semRegistered ? &sem : nullptr);
  const Action actions[] = {Action::kNone, Action::kNone,   Action::kNone,
                            Action::kNone, Action::kCancel, Action::kClose, Action::kIsExposing};
  const Action action = rng.Pick(actions);
  if (action != Action::kNone) cam->HoldReads(true);
  const bool hadDevice = open;
  const uint64_t readsBefore = cam->Stats().reads;
  SetWhat(std::string("Exposure into ") + (toRaw ? "the raw buffer" : "a buffer") + ", helper: " +
          kActionNames[static_cast<int>(action)]);
  std::atomic<bool> done{false};
  std::atomic<bool> acted{false};
  std::thread helper;
  if (action != Action::kNone)
    helper = std::thread([&] { acted = Helper(action, readsBefore, done, nullptr); });
  ::Exposure(dest);
  done = true;
  if (helper.joinable()) helper.join();
  cam->HoldReads(false);
  if (acted && action == Action::kClose) {
    open = false;
    ++totals.closesDuringExposure;
  }
  if (acted && action == Action::kCancel) ++totals.cancels;
  ++totals.inlineExposures;
  CheckEnd(&sem, semRegistered, hadDevice, false, "an inline");
  SOAK_CHECK(toRaw || buf.GuardsIntact(), "the exposure wrote outside its destination");
  CheckFrame(toRaw ? ::getbufptr() : dest, hadDevice, false);
}

void Soak::ThreadedExposure() {
  Step("ThreadedExposure");
  const Geometry g = programmed;
  const bool toRaw = rng.Below(5) == 0;
  Guarded buf(toRaw ? 0 : g.Bytes());
  Guarded second(64);
  uint8_t* dest = toRaw ? nullptr : buf.data();
  const bool semRegistered = rng.Below(10) < 8;
  ::ExposureSemaphore(semRegistered ? &sem : nullptr);
  const Action actions[] = {Action::kNone,  Action::kNone,      Action::kNone,
                            Action::kGuide, Action::kGuide,     Action::kCancel,
                            Action::kClose, Action::kCloseEarly, Action::kSecondStart,
                            Action::kIsExposing};
  const Action action = rng.Pick(actions);
  const bool hold = action != Action::kNone && action != Action::kCloseEarly;
  if (hold) cam->HoldReads(true);
  const bool hadDevice = open;
  const uint64_t readsBefore = cam->Stats().reads;
  const int workers = sys.WorkersStarted();
  const uintptr_t token = ::ThreadedExposure(dest);
  SOAK_CHECK(token != ~uintptr_t{0}, "ThreadedExposure could not start its worker");
  SetWhat(std::string("ThreadedExposure into ") + (toRaw ? "the raw buffer" : "a buffer") +
          ", helper: " + kActionNames[static_cast<int>(action)]);
  std::atomic<bool> done{false};
  std::atomic<bool> acted{false};
  std::thread helper([&] { acted = Helper(action, readsBefore, done, &second); });
  // The harness waits for the worker thread itself, which tells the end even
  // where the library gives no sign (a close with no semaphore registered);
  // CheckEnd then counts the releases.
  while (!sys.WaitForWorkers(workers + 1, 1000)) gProgress.fetch_add(1, std::memory_order_relaxed);
  done = true;
  helper.join();
  cam->HoldReads(false);
  ++totals.threadedExposures;
  switch (acted ? action : Action::kNone) {
    case Action::kClose:
    case Action::kCloseEarly:
      open = false;
      ++(action == Action::kClose ? totals.closesDuringExposure : totals.earlyCloses);
      break;
    case Action::kCancel:
      ++totals.cancels;
      break;
    case Action::kGuide:
      totals.guidePulses += 2;
      break;
    case Action::kSecondStart:
      ++totals.refusedStarts;
      SOAK_CHECK(second.Untouched(), "a refused start wrote its destination");
      break;
    default:
      break;
  }
  CheckEnd(&sem, semRegistered, hadDevice, false, "a threaded");
  SOAK_CHECK(toRaw || buf.GuardsIntact(), "the exposure wrote outside its destination");
  CheckFrame(toRaw ? ::getbufptr() : dest, hadDevice, action == Action::kCloseEarly);
}

// The output conversions on the frame in the raw buffer, into exact-size
// destinations.
void Soak::Output() {
  Step("output");
  ++totals.outputs;
  const uint32_t mode = rng.Below(7);
  ::SETBUFFERMODE(mode);
  const uint32_t samples = 752 * 480;
  std::size_t bytes = 0;
  switch (std::min<uint32_t>(mode, 5)) {
    case 0: bytes = 2 * samples; break;
    case 1: bytes = 784000; break;  // the whole raw buffer: a 10-bit frame is two bytes a sample
    case 2: bytes = 3 * samples; break;
    case 3: bytes = 6 * samples; break;
    case 4: bytes = 3 * 752 * 479; break;
    default: bytes = 2 * samples; break;
  }
  const uint32_t length = mode == 0 ? 2 * samples : mode == 1 ? 784000 : samples;
  Guarded out(bytes);
  ::GETBUFFER(out.data(), length);
  SOAK_CHECK(out.GuardsIntact(), "GETBUFFER mode %u wrote outside its destination", mode);
  if (mode == 1 && lastFrameInRaw) {
    const int bad = pattern.FirstBadRow(out.data(), rawGeometry, rawGeometry.height);
    SOAK_CHECK(bad < 0, "GETBUFFER mode 1: row %d of the raw frame differs", bad);
  }
  const uint32_t w = 1 + rng.Below(752), h = rng.Below(481);
  Guarded colour(h >= 2 ? std::size_t{3} * w * (h - 1) : 0);
  ::debayerBuffer(colour.data(), w, h);
  SOAK_CHECK(colour.GuardsIntact(), "debayerBuffer %ux%u wrote outside its destination", w, h);
}

// Memory and threads: nothing grows per exposure (the library keeps no
// per-frame memory, and every worker ends).
void Soak::CheckResources() {
  static uint64_t baselineKb = 0;  // the first sample of the process
  const uint64_t rss = ProcStatus("VmRSS:");
  const uint64_t threads = ProcStatus("Threads:");
  totals.maxRssKb = std::max(totals.maxRssKb, rss);
  totals.maxThreads = std::max(totals.maxThreads, threads);
  if (baselineKb == 0) baselineKb = rss;
  const uint64_t slackKb = kSanitized ? 1024 * 1024 : 64 * 1024;
  SOAK_CHECK(rss <= baselineKb + slackKb,
             "resident memory grew from %" PRIu64 " to %" PRIu64 " KiB", baselineKb, rss);
  SOAK_CHECK(threads <= 16, "%" PRIu64 " threads alive between exposures", threads);
}

// Between steps, with nothing running: handles and threads as they should be.
void Soak::CheckIdle() {
  SOAK_CHECK(::isExposing() == 0, "isExposing is 1 with no exposure running");
  const int handles = cam->OpenHandles();
  SOAK_CHECK(handles == (open ? 2 : 0), "%d camera handles open with the device %s", handles,
             open ? "open" : "closed");
  SOAK_CHECK(cam->Faults().releasedHandleUses == 0, "a released handle was used");
}

void Soak::Run(uint64_t exposures) {
  sem_init(&sem, 0, 0);
  NewCamera();
  uint64_t done = 0, sinceCamera = 0;
  while (done < exposures) {
    if (sinceCamera >= cameraBudget) {
      NewCamera();
      sinceCamera = 0;
    }
    if (!open || needRecovery) {
      if (open) Close();
      Open();
      if (open) Program();
      CheckIdle();
      continue;
    }
    const uint32_t roll = rng.Below(100);
    if (roll < 38) {
      InlineExposure();
    } else if (roll < 76) {
      ThreadedExposure();
    } else if (roll < 84) {
      Program();
      continue;
    } else if (roll < 89) {
      if (lastFrameInRaw) Output();
      continue;
    } else if (roll < 95) {
      Requests();
      continue;
    } else if (roll < 98) {
      Close();
      CheckIdle();
      continue;
    } else {
      Unplug();
      continue;
    }
    ++done;
    ++sinceCamera;
    ++totals.exposures;
    CheckIdle();
    if (totals.exposures % 256 == 0) CheckResources();
  }
  if (open) Close();
  SOAK_CHECK(sys.WaitForWorkers(sys.WorkersStarted(), 60000), "a readout worker did not end");
  CheckIdle();
  CheckResources();
  ::ExposureSemaphore(nullptr);
  NewCamera();  // folds the last camera's counts into the totals
  tarncam::UsePlatform(nullptr, nullptr);
  cam.reset();
  sem_destroy(&sem);
}

void Poller(std::atomic<bool>& stop) {
  while (!stop.load()) {
    const uint32_t v = ::isExposing();
    SOAK_CHECK(v <= 1, "isExposing returned %u", v);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

bool ParseArgs(int argc, char** argv) {
  gSettings.program = argv[0];
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](uint64_t* out) {
      if (i + 1 >= argc) return false;
      char* end = nullptr;
      *out = std::strtoull(argv[++i], &end, 10);
      return *end == '\0';
    };
    uint64_t v = 0;
    if (a == "--seed" && value(&v)) {
      gSettings.seed = v;
    } else if (a == "--seeds" && value(&v) && v >= 1) {
      gSettings.seeds = v;
    } else if (a == "--exposures" && value(&v) && v >= 1) {
      gSettings.exposures = v;
    } else if (a == "--stall-seconds" && value(&v) && v >= 1) {
      gSettings.stallSeconds = static_cast<int>(v);
    } else if (a == "--quiet") {
      gSettings.quiet = true;
    } else if (a == "--trace") {
      gSettings.trace = true;
    } else if (a == "--api") {
      gSettings.api = true;
    } else if (a == "--gadget" && i + 1 < argc) {
      gSettings.gadget = argv[++i];
      gSettings.api = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--api [--gadget PATH]] [--seed S] [--seeds K] [--exposures N] "
                   "[--stall-seconds T] "
                   "[--quiet] [--trace]\n",
                   argv[0]);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseArgs(argc, argv)) return 2;
  static const auto start = std::chrono::steady_clock::now();
  if (gSettings.api) {
    // A failed run still tells what it did before the failure.
    gOnFail = [] {
      PrintApiTotals(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1);
    };
    std::atomic<bool> stop{false};
    std::thread watchdog(Watchdog, std::ref(stop));
    for (uint64_t k = 0; k < gSettings.seeds; ++k) {
      gCurrentSeed = gSettings.seed + k;
      RunApiSeed(gCurrentSeed.load(), gSettings.exposures);
      if (!gSettings.quiet) std::printf("seed %" PRIu64 " done\n", gCurrentSeed.load());
    }
    stop = true;
    watchdog.join();
    PrintApiTotals(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
  }
  const Pattern pattern;
  Totals totals;
  std::atomic<bool> stop{false};
  std::thread watchdog(Watchdog, std::ref(stop));
  std::thread poller(Poller, std::ref(stop));
  for (uint64_t k = 0; k < gSettings.seeds; ++k) {
    gCurrentSeed = gSettings.seed + k;
    Soak soak(gCurrentSeed.load(), pattern, totals);
    soak.Run(gSettings.exposures);
    if (!gSettings.quiet)
      std::printf("seed %" PRIu64 ": %" PRIu64 " exposures so far\n", gCurrentSeed.load(),
                  totals.exposures);
  }
  stop = true;
  poller.join();
  watchdog.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const Totals& t = totals;
  std::printf(
      "soak: seeds %" PRIu64 "..%" PRIu64 ", %" PRIu64 " exposures (%" PRIu64 " inline, %" PRIu64
      " threaded) in %.1f s\n"
      "  frames: %" PRIu64 " complete, %" PRIu64 " short, %" PRIu64 " failed, %" PRIu64
      " with no device; %" PRIu64 " unconfirmed; %" PRIu64 " checked byte-exact\n"
      "  faults injected: %" PRIu64 " failed reads, %" PRIu64 " timed-out reads, %" PRIu64
      " short reads, %" PRIu64 " failed control transfers, %" PRIu64
      " disconnects mid-read, %" PRIu64 " unplugs, %" PRIu64 " blank returns after power loss\n"
      "  cameras: %" PRIu64 " (%" PRIu64 " blank at start, %" PRIu64 " slow to renumerate)\n"
      "  during exposures: %" PRIu64 " cancels, %" PRIu64 " closes, %" PRIu64
      " closes racing the worker's start, %" PRIu64 " refused second starts, %" PRIu64
      " guide commands\n"
      "  device: %" PRIu64 " opens (%" PRIu64 " failed, %" PRIu64 " firmware messages), %" PRIu64
      " closes; %" PRIu64 " output fetches; %" PRIu64 " steps\n"
      "  peak: %" PRIu64 " KiB resident, %" PRIu64 " threads\n"
      "  invariant violations: 0\n",
      gSettings.seed, gSettings.seed + gSettings.seeds - 1, t.exposures, t.inlineExposures,
      t.threadedExposures, seconds, t.complete, t.shortFrames, t.failed, t.noDevice, t.unconfirmed,
      t.exact, t.faults.readsFailed, t.faults.readsTimedOut, t.faults.readsShort,
      t.faults.controlFailed, t.faults.disconnects, t.faults.unplugs, t.faults.blankReturns,
      t.cameras, t.blankCameras, t.slowCameras, t.cancels, t.closesDuringExposure, t.earlyCloses,
      t.refusedStarts, t.guidePulses, t.opens, t.openFailures, t.messages, t.closes, t.outputs,
      t.steps, t.maxRssKb, t.maxThreads);
  return 0;
}
