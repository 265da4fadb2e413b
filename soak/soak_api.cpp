// The soak's camera-API mode (tarncam_soak --api): two or three simulated
// cameras at once, each driven by its own thread through seeded random
// sequences of the camera API, while a disturber thread cancels, guides,
// peeks, waits and pulls cables on all of them. Every camera runs on its own
// virtual clock (the simulator's virtual_time) with seeded faults: failed,
// short and timed-out reads, failed control transfers, disconnects with or
// without replugging and power loss, blank controllers, one that never takes
// its firmware, and cameras that ignore the abort.
//
// Checked at every step: nothing crashes or hangs (a watchdog per driver);
// every exposure started ends exactly once (its callback runs once, or a wait
// returns its record); a complete frame is byte-exact against the test
// pattern for its window and depth, a short one holds exact rows then zeros,
// a failed one only zeros (nothing stale), and nothing is written outside the
// buffer; a refused start or setting changes nothing; once a call has said
// the camera is gone, every call says so promptly; closing releases every
// handle of the simulated device and the worker thread.
//
// With --gadget PATH the camera is tarncam-gadget instead, the simulated
// camera as a USB device on this machine's device controller (the USB test
// VM's dummy_hcd), one at a time: the library finds and drives it through
// usbfs and libusb, and the gadget injects the seeded faults (failed, short
// and timed-out reads, an ignored abort, unplugs mid-read, replugs, blank
// returns) and holds reads pending on request. Time is real there, so the
// exposures are short; the checks are the same, except that the handles
// checked after a close are this process's open USB device files.
//
// A record may say CANCELLED only when a cancel or close of its camera was
// asked for while (or after) its exposure was started: a handle whose
// transfers fail as cancelled on their own has lost its camera.
//
// Each driver's and the disturber's steps come from the seed; how the
// threads interleave does not, so a failing seed may need a few runs to fail
// again (run it under --trace to read what happened).

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <cinttypes>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/registry.h"
#include "sim/frame_generator.h"
#include "sim/sim_camera.h"
#include "sim/sim_device.h"
#include "soak/gadget_process.h"
#include "soak/soak_common.h"
#include "tarncam/tarncam_camera.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kTableColumns = 796;
constexpr uint32_t kTableRows = 480;
// How long a call on a camera that has gone may take, in real time.
constexpr double kPromptSeconds = kSanitized ? 10.0 : 2.0;

// The camera is tarncam-gadget through the USB stack (--gadget).
bool Usb() { return !gSettings.gadget.empty(); }

struct Counter {
  std::atomic<uint64_t> n{0};
  void operator++() { n.fetch_add(1, std::memory_order_relaxed); }
  void operator+=(uint64_t v) { n.fetch_add(v, std::memory_order_relaxed); }
  uint64_t operator()() const { return n.load(); }
};

struct ApiTotals {
  Counter exposures, complete, exact, shortFrames, failed, cancelledStatus, noDeviceStatus;
  Counter callbacks, chained, waitsForever, pollWaits, closedWaits, refusedStarts, tooSmall;
  Counter outOfRange, unknownControl, guidePulses, guideStops, guideRefused;
  Counter unplugs, replugs, opens, openFailures, closes, closesDuringExposure, cancels;
  Counter deadChecks, callbackCloseRefused, callbackCancels, unobserved;
  Counter cameras, listedCameras, ignoreAbortCameras, blankCameras, stuckBlankCameras;
  Counter readsFailed, readsTimedOut, readsShort, controlFailed, disconnects, blankReturns;
  Counter disturberCalls, seeds;
  Counter ignoredAborts, gadgetLost, hostReadsFailed;
  std::atomic<uint64_t> maxThreads{0}, maxRssKb{0};
};
ApiTotals gTotals;
// Listing opens programmed cameras briefly to ask them who they are; the
// drivers' opens and their checks that a closed camera has no handle open
// take turns with it.
std::mutex gListing;

// The names of this process's threads, for a report of one too many.
std::string ThreadNames() {
  std::string names;
  if (DIR* d = opendir("/proc/self/task")) {
    while (const dirent* t = readdir(d)) {
      if (t->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + t->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      names += " " + name;
    }
    closedir(d);
  }
  return names;
}

void Max(std::atomic<uint64_t>& m, uint64_t v) {
  uint64_t cur = m.load();
  while (v > cur && !m.compare_exchange_weak(cur, v)) {
  }
}

// The test pattern over the widest transfer rows, 8-bit and 10-bit (host
// order), to compare whole rows at once.
struct PatternTable {
  std::vector<uint8_t> p8, p10;
  PatternTable() : p8(kTableRows * kTableColumns), p10(kTableRows * kTableColumns * 2) {
    for (uint32_t r = 0; r < kTableRows; ++r)
      for (uint32_t c = 0; c < kTableColumns; ++c) {
        const size_t i = size_t{r} * kTableColumns + c;
        p8[i] = static_cast<uint8_t>(sim::TestPatternSample(r, c, false));
        const uint16_t v = static_cast<uint16_t>(sim::TestPatternSample(r, c, true));
        std::memcpy(&p10[2 * i], &v, 2);
      }
  }
};
const PatternTable& Table() {
  static const PatternTable t;
  return t;
}

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

const char* Text(tarncam_status s) { return tarncam_status_text(s); }

// What a started exposure must come back as.
struct Exposure {
  uint64_t sequence = 0;
  uint32_t width = 0, height = 0, exposureMs = 0;
  bool ten = false;
  int flipH = 0, flipV = 0;
  std::unique_ptr<Guarded> buf;
  bool callback = false;
  int calls = 0;          // callbacks run for it
  bool observed = false;  // its record was checked (callback or wait)
  // Cancels (and closes) of the camera asked for before its start: a later
  // one, or one still running while it was started, may cancel it.
  uint64_t cancelMark = 0;
  bool cancelOverlap = false;
};

// Checks a record and its buffer against what was started.
void CheckRecord(const tarncam_frame_record& r, const Exposure& e, const char* how,
                 bool cancelAsked) {
  SOAK_CHECK(r.sequence == e.sequence, "%s: record of exposure %" PRIu64 ", expected %" PRIu64, how,
             r.sequence, e.sequence);
  SOAK_CHECK(r.width == e.width && r.height == e.height && r.bit_depth == (e.ten ? 10u : 8u) &&
                 r.flip_horizontal == e.flipH && r.flip_vertical == e.flipV &&
                 r.exposure_ms == e.exposureMs,
             "%s: record %ux%u %u-bit flips %d/%d %u ms, started %ux%u %d-bit flips %d/%d %u ms",
             how, r.width, r.height, r.bit_depth, r.flip_horizontal, r.flip_vertical, r.exposure_ms,
             e.width, e.height, e.ten ? 10 : 8, e.flipH, e.flipV, e.exposureMs);
  SOAK_CHECK(r.buffer == e.buf->data() && r.frame_bytes == e.buf->Size(),
             "%s: record names buffer %p of %" PRIu64 " bytes, not %p of %zu", how, r.buffer,
             r.frame_bytes, static_cast<void*>(e.buf->data()), e.buf->Size());
  SOAK_CHECK(e.buf->GuardsIntact(), "%s: the exposure wrote outside its buffer", how);
  const uint32_t bps = e.ten ? 2 : 1;
  const size_t rowBytes = size_t{e.width} * bps;
  const uint32_t skip = (e.width == 376 || e.width == 400) ? 50 : 0;
  uint32_t rows = 0;
  switch (r.outcome) {
    case TARNCAM_FRAME_COMPLETE:
      SOAK_CHECK(r.status == TARNCAM_OK && r.rows_received == e.height,
                 "%s: complete frame with status %s and %u of %u rows", how,
                 Text(static_cast<tarncam_status>(r.status)), r.rows_received, e.height);
      ++gTotals.complete;
      rows = e.height;
      break;
    case TARNCAM_FRAME_SHORT:
      // The transfer runs on past the window's last row: one ended early
      // (by a cancel, or by the camera) may still hold every row.
      SOAK_CHECK((r.status == TARNCAM_ERR_CANCELLED || r.status == TARNCAM_ERR_SHORT_FRAME) &&
                     r.rows_received <= e.height,
                 "%s: short frame with status %s and %u of %u rows", how,
                 Text(static_cast<tarncam_status>(r.status)), r.rows_received, e.height);
      ++gTotals.shortFrames;
      rows = r.rows_received;
      break;
    case TARNCAM_FRAME_FAILED:
      SOAK_CHECK(r.status != TARNCAM_OK && r.rows_received == 0,
                 "%s: failed frame with status %s and %u rows", how,
                 Text(static_cast<tarncam_status>(r.status)), r.rows_received);
      ++gTotals.failed;
      break;
    default:
      Fail("%s: outcome %d", how, r.outcome);
  }
  SOAK_CHECK(r.status != TARNCAM_ERR_CANCELLED || cancelAsked,
             "%s: exposure %" PRIu64 " ended %s with status %s, but no cancel or close was asked "
             "for since it started",
             how, r.sequence, r.outcome == TARNCAM_FRAME_SHORT ? "short" : "failed",
             Text(static_cast<tarncam_status>(r.status)));
  if (r.status == TARNCAM_ERR_CANCELLED) ++gTotals.cancelledStatus;
  gTotals.hostReadsFailed += r.reads_failed;
  if (r.status == TARNCAM_ERR_NO_DEVICE) ++gTotals.noDeviceStatus;
  const PatternTable& t = Table();
  const uint8_t* base = e.ten ? t.p10.data() : t.p8.data();
  const uint8_t* frame = e.buf->data();
  for (uint32_t row = 0; row < rows; ++row) {
    const uint8_t* want = base + (size_t{row} * kTableColumns + skip) * bps;
    SOAK_CHECK(std::memcmp(frame + row * rowBytes, want, rowBytes) == 0,
               "%s: %s frame %ux%u %d-bit (%s, %u rows, %" PRIu64
               " bytes received, %u reads of which %u failed): row %u differs from the test "
               "pattern",
               how, r.outcome == TARNCAM_FRAME_COMPLETE ? "complete" : "short", e.width, e.height,
               e.ten ? 10 : 8, Text(static_cast<tarncam_status>(r.status)), r.rows_received,
               r.bytes_received, r.reads_attempted, r.reads_failed, row);
  }
  SOAK_CHECK(AllZero(frame + rows * rowBytes, (e.height - rows) * rowBytes),
             "%s: frame %ux%u with %u rows received: a later row is not zero (stale data)", how,
             e.width, e.height, rows);
  if (rows != 0) ++gTotals.exact;
}

// One camera and the thread that drives it.
class Driver {
 public:
  Driver(int index, uint64_t seed, uint64_t quota) : index(index), rng(seed), quota(quota) {}
  void Run();
  // The disturber's turn on this camera (its own generator).
  void Disturb(Rng& r);
  // Real time of the last step, for the watchdog.
  std::atomic<int64_t> lastStepNs{0};
  std::atomic<bool> finished{false};

 private:
  // The camera.
  void NewCamera();
  void RetireCamera();
  bool Open();
  void Close(const char* why);
  void NoteGone(const char* what);
  void DeadChecks();
  void CheckReleased();

  // Steps.
  void Step(const std::string& what);
  void ChangeSettings();
  void Guide();
  void BadCalls();
  void Expose();
  void Check(tarncam_status got, std::initializer_list<tarncam_status> allowed, const char* what);

  // Exposures.
  Exposure* Begin(bool callback, tarncam_status* status);
  Exposure* Enter(Exposure e, tarncam_camera* camera, tarncam_status* status);
  void WaitForCallbacks();
  static void OnFrame(tarncam_camera* camera, const tarncam_frame_record* record, void* user);
  void CallbackActions(tarncam_camera* camera, const tarncam_frame_record& r);
  bool WaitPending(uint64_t readsBefore);
  void Settle(const char* how, bool callbacks);

  // Cancels and closes of this camera's handles, for the records' check.
  tarncam_status Cancel(tarncam_camera* camera);
  bool CancelAsked(const Exposure& e) const;
  std::atomic<uint64_t> cancelsAsked{0};
  std::atomic<int> cancelsRunning{0};

  // The camera through the USB stack (--gadget).
  void NewGadget();
  void QuitGadget();
  tarncam_status SetConnected(bool on);
  bool HostLists(int timeoutMs);
  std::unique_ptr<GadgetProcess> gadget;

  const int index;
  Rng rng;
  const uint64_t quota;
  uint64_t done = 0;

  // The camera: a listed one (tarncam_sim_add) or one of its own
  // (tarncam_open_simulated, gone with its handle).
  sim::Options opts{};
  bool haveCamera = false;
  bool listed = false;
  std::string id;
  std::shared_ptr<tarncam::api::SimEntry> entry;
  int failedOpens = 0;

  // The handle, shared with the disturber.
  std::mutex mu;
  std::condition_variable cv;
  tarncam_camera* handle = nullptr;
  int users = 0;
  std::atomic<bool> gone{false};

  // The handle's settings as they must be.
  int64_t controls[TARNCAM_CONTROL_COUNT]{};
  uint32_t width = 752, height = 480;

  // Exposures of this handle, by sequence.
  std::mutex ledgerMu;
  std::condition_variable ledgerCv;
  std::map<uint64_t, Exposure> ledger;
  uint64_t started = 0;
  int chainLeft = 0;   // exposures the callbacks still start
  int inCallback = 0;  // callbacks running now
  uint32_t plan = 0;   // what the callbacks do beside (bits, drawn at the start)
};

void Driver::Step(const std::string& what) {
  gProgress.fetch_add(1, std::memory_order_relaxed);
  lastStepNs = Clock::now().time_since_epoch().count();
  SetWhat("camera " + std::to_string(index) + ": " + what);
}

void Driver::Check(tarncam_status got, std::initializer_list<tarncam_status> allowed,
                   const char* what) {
  for (tarncam_status s : allowed)
    if (got == s) {
      if (got == TARNCAM_ERR_NO_DEVICE) NoteGone(what);
      return;
    }
  Fail("camera %d: %s returned %s", index, what, Text(got));
}

void Driver::NoteGone(const char* what) {
  if (!gone.exchange(true)) Note("camera %d gone (%s)", index, what);
}

// ---------------------------------------------------------------------------
// Cameras

void Driver::NewCamera() {
  Step("a new camera");
  tarncam_sim_default_options(&opts);
  opts.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
  opts.virtual_time = 1;
  opts.seed = rng.Next();
  opts.colour = static_cast<int32_t>(rng.Below(2));
  const double readFail[] = {0, 0, 0.01, 0.05, 0.2};
  const double timeouts[] = {0, 0, 0.01, 0.05};
  const double shorts[] = {0, 0.01, 0.05};
  const double control[] = {0, 0, 0.0005, 0.002};
  const double disconnects[] = {0, 0, 0.002, 0.01};
  const uint32_t replug[] = {0, 300, 4000};
  opts.read_fail_probability = rng.Pick(readFail);
  opts.read_timeout_probability = rng.Pick(timeouts);
  opts.short_read_probability = rng.Pick(shorts);
  opts.control_fail_probability = rng.Pick(control);
  opts.disconnect_probability = rng.Pick(disconnects);
  opts.replug_ms = rng.Pick(replug);
  opts.replug_blank = static_cast<int32_t>(rng.Below(2));
  opts.blank_controller = rng.Below(3) == 0 ? 1 : 0;
  opts.stays_blank = opts.blank_controller != 0 && rng.Below(20) == 0 ? 1 : 0;
  opts.ignore_abort = rng.Below(3) == 0 ? 1 : 0;
  listed = rng.Below(2) == 0;
  if (Usb()) NewGadget();
  ++gTotals.cameras;
  if (listed) ++gTotals.listedCameras;
  if (opts.ignore_abort) ++gTotals.ignoreAbortCameras;
  if (opts.blank_controller) ++gTotals.blankCameras;
  if (opts.stays_blank) ++gTotals.stuckBlankCameras;
  Note(
      "camera %d: %s; reads %.3f failed, %.3f timed out, %.3f short; control %.4f; "
      "disconnect %.3f (replug %u ms, blank %d); blank %d (stays %d); ignores abort %d",
      index, listed ? "listed" : "its own", opts.read_fail_probability,
      opts.read_timeout_probability, opts.short_read_probability, opts.control_fail_probability,
      opts.disconnect_probability, opts.replug_ms, opts.replug_blank, opts.blank_controller,
      opts.stays_blank, opts.ignore_abort);
  if (Usb()) {
    haveCamera = true;
    failedOpens = 0;
    return;
  }
  id.clear();
  entry.reset();
  if (listed) {
    char text[TARNCAM_ID_SIZE];
    Check(tarncam_sim_add(&opts, text, sizeof text), {TARNCAM_OK}, "tarncam_sim_add");
    id = text;
    entry = tarncam::api::Registry::Instance().FindSim(id);
    SOAK_CHECK(entry != nullptr, "camera %d: %s added but not found", index, id.c_str());
  }
  haveCamera = true;
  failedOpens = 0;
}

// The camera as a USB device: a gadget presenting it with faults drawn from
// the seed. Control transfers never fail on purpose here: gadgetfs has taken
// a request's data (and told the host it arrived) before the camera sees it,
// so a refusal could not reach the host, as it could on a cable.
void Driver::NewGadget() {
  // Real time: faults that cost the library's retries (a controller restart
  // of about 3 s each) and power losses (a download with its 5 s wait) are
  // rarer than in the simulator's virtual time.
  const double readFail[] = {0, 0, 0.005, 0.02};
  const double timeouts[] = {0, 0, 0.003, 0.01};
  const double shorts[] = {0, 0.01, 0.05};
  const double disconnects[] = {0, 0, 0.005, 0.01};
  const uint32_t replug[] = {0, 300, 1000};
  opts.read_fail_probability = rng.Pick(readFail);
  opts.read_timeout_probability = rng.Pick(timeouts);
  opts.short_read_probability = rng.Pick(shorts);
  opts.control_fail_probability = 0;
  opts.disconnect_probability = rng.Pick(disconnects);
  opts.replug_ms = rng.Pick(replug);
  opts.replug_blank = rng.Below(8) == 0 ? 1 : 0;
  opts.blank_controller = rng.Below(4) == 0 ? 1 : 0;
  opts.stays_blank = opts.blank_controller != 0 && rng.Below(10) == 0 ? 1 : 0;
  opts.ignore_abort = rng.Below(3) == 0 ? 1 : 0;
  listed = true;
  char text[512];
  std::snprintf(text, sizeof text,
                "scene=test-pattern,seed=%" PRIu64
                ",colour=%d,read_fail_p=%g,read_timeout_p=%g,"
                "short_read_p=%g,disconnect_p=%g,replug_ms=%u,replug_blank=%d,blank=%d,"
                "stays_blank=%d,renumerate_ms=500",
                opts.seed, opts.colour, opts.read_fail_probability, opts.read_timeout_probability,
                opts.short_read_probability, opts.disconnect_probability, opts.replug_ms,
                opts.replug_blank, opts.blank_controller, opts.stays_blank);
  std::vector<std::string> args{"--options", text};
  // The gadget's own flag, so that it says when it ignored one.
  if (opts.ignore_abort != 0) args.push_back("--ignore-abort");
  Note("camera %d: tarncam-gadget --options %s%s", index, text,
       opts.ignore_abort != 0 ? " --ignore-abort" : "");
  gadget = std::make_unique<GadgetProcess>();
  SOAK_CHECK(gadget->Start(gSettings.gadget, args), "cannot start %s", gSettings.gadget.c_str());
  GadgetProcess* g = gadget.get();
  SetFailContext([g] { return "  the gadget's last lines:\n" + g->Tail(); });
  SOAK_CHECK(gadget->WaitFor("connected", 1, 30000), "camera %d: the gadget did not connect\n%s",
             index, gadget->Tail().c_str());
  SOAK_CHECK(HostLists(30000), "camera %d: the host did not find the gadget\n%s", index,
             gadget->Tail().c_str());
}

void Driver::QuitGadget() {
  if (!gadget) return;
  const uint64_t ignored = gadget->Count("abort ignored");
  const uint64_t lost = gadget->Count("lost");
  SetFailContext(nullptr);
  std::map<std::string, double> f = gadget->Quit();
  gadget.reset();
  gTotals.readsFailed += static_cast<uint64_t>(f["failed_reads"]);
  gTotals.readsTimedOut += static_cast<uint64_t>(f["timed_out_reads"]);
  gTotals.readsShort += static_cast<uint64_t>(f["short_reads"]);
  gTotals.controlFailed += static_cast<uint64_t>(f["failed_controls"]);
  gTotals.disconnects += static_cast<uint64_t>(f["disconnects"]);
  gTotals.blankReturns += static_cast<uint64_t>(f["blank_returns"]);
  gTotals.ignoredAborts += ignored;
  gTotals.gadgetLost += lost;
  // Gone from the host's list before the next one is plugged in.
  const auto until = Clock::now() + std::chrono::seconds(15);
  for (;;) {
    uint32_t count = 0;
    tarncam_list_cameras(nullptr, 0, &count);
    if (count == 0) break;
    SOAK_CHECK(Clock::now() < until, "camera %d: still listed after its gadget quit", index);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Whether the host lists the gadget's camera (its id then noted).
bool Driver::HostLists(int timeoutMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    tarncam_camera_info info[2] = {};
    info[0].struct_size = info[1].struct_size = sizeof info[0];
    uint32_t count = 0;
    if (tarncam_list_cameras(info, 2, &count) == TARNCAM_OK && count >= 1) {
      id = info[0].id;
      return true;
    }
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The cable: the simulator's, or the gadget's (which leaves the bus).
tarncam_status Driver::SetConnected(bool on) {
  if (Usb()) {
    gadget->Send(on ? "plug" : "unplug");
    return TARNCAM_OK;
  }
  return tarncam_sim_set_connected(id.c_str(), on ? 1 : 0);
}

tarncam_status Driver::Cancel(tarncam_camera* camera) {
  ++cancelsRunning;
  ++cancelsAsked;
  const tarncam_status s = tarncam_cancel_exposure(camera);
  --cancelsRunning;
  return s;
}

bool Driver::CancelAsked(const Exposure& e) const {
  return e.cancelOverlap || cancelsAsked.load() > e.cancelMark;
}

// Counts the faults the camera injected; a listed one is removed.
void Driver::RetireCamera() {
  if (Usb()) QuitGadget();
  if (entry) {
    const sim::FaultCounts f = entry->device->camera().Faults();
    gTotals.readsFailed += f.readsFailed;
    gTotals.readsTimedOut += f.readsTimedOut;
    gTotals.readsShort += f.readsShort;
    gTotals.controlFailed += f.controlFailed;
    gTotals.disconnects += f.disconnects;
    gTotals.blankReturns += f.blankReturns;
    SOAK_CHECK(f.releasedHandleUses == 0, "camera %d: %" PRIu64 " uses of released handles", index,
               f.releasedHandleUses);
  }
  if (listed && !id.empty() && !Usb()) {
    Check(tarncam_sim_remove(id.c_str()), {TARNCAM_OK}, "tarncam_sim_remove");
    SOAK_CHECK(tarncam_sim_remove(id.c_str()) == TARNCAM_ERR_NO_DEVICE,
               "camera %d: a second remove of %s was not refused", index, id.c_str());
  }
  entry.reset();
  id.clear();
  haveCamera = false;
}

bool Driver::Open() {
  Step("open");
  ++gTotals.opens;
  tarncam_camera* h = nullptr;
  tarncam_status s;
  {
    std::lock_guard<std::mutex> lk(gListing);
    if (Usb()) {
      // Found by the library once the host has enumerated it (it may be
      // coming back from an unplug or a download).
      HostLists(10000);
      s = tarncam_open_id(id.c_str(), &h);
    } else if (listed) {
      // A camera left unplugged gets plugged in again by its user.
      if (entry && !entry->device->camera().Stats().present) {
        tarncam_sim_set_connected(id.c_str(), 1);
        ++gTotals.replugs;
      }
      s = tarncam_open_id(id.c_str(), &h);
    } else {
      s = tarncam_open_simulated(&opts, &h);
    }
  }
  if (s != TARNCAM_OK) {
    SOAK_CHECK(h == nullptr, "camera %d: a failed open (%s) stored a handle", index, Text(s));
    Check(s,
          {TARNCAM_ERR_NO_DEVICE, TARNCAM_ERR_FIRMWARE_LOAD, TARNCAM_ERR_PROTOCOL,
           TARNCAM_ERR_TIMEOUT, TARNCAM_ERR_IO},
          "open");
    gone = false;
    ++gTotals.openFailures;
    Note("camera %d: open failed: %s", index, Text(s));
    if (entry || Usb()) CheckReleased();
    // Through USB the host may still list a camera that has just left.
    if (Usb()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (++failedOpens >= 6 || s == TARNCAM_ERR_FIRMWARE_LOAD) RetireCamera();
    return false;
  }
  failedOpens = 0;
  tarncam_camera_info info{};
  info.struct_size = sizeof info;
  Check(tarncam_get_info(h, &info), {TARNCAM_OK, TARNCAM_ERR_NO_DEVICE}, "get info");
  SOAK_CHECK(info.open == 1 && info.simulated == (Usb() ? 0 : 1),
             "camera %d: info says open %d simulated %d", index, info.open, info.simulated);
  if (Usb()) {
    SOAK_CHECK(id == info.id, "camera %d: opened %s, info says %s", index, id.c_str(), info.id);
  } else if (!listed) {
    id = info.id;
    entry = tarncam::api::Registry::Instance().FindSim(id);
    SOAK_CHECK(entry != nullptr, "camera %d: its own camera %s is not found", index, id.c_str());
  } else {
    SOAK_CHECK(id == info.id, "camera %d: opened %s, info says %s", index, id.c_str(), info.id);
  }
  // A fresh handle starts at the defaults and the full window.
  for (int c = 0; c < TARNCAM_CONTROL_COUNT; ++c) {
    int64_t def = 0, got = -1;
    tarncam_control_range(static_cast<tarncam_control>(c), nullptr, nullptr, &def);
    Check(tarncam_get_control(h, static_cast<tarncam_control>(c), &got),
          {TARNCAM_OK, TARNCAM_ERR_NO_DEVICE}, "get control");
    SOAK_CHECK(got == def, "camera %d: control %d starts at %" PRId64 ", default %" PRId64, index,
               c, got, def);
    controls[c] = def;
  }
  width = 752;
  height = 480;
  {
    std::lock_guard<std::mutex> lk(ledgerMu);
    ledger.clear();
    started = 0;
  }
  std::lock_guard<std::mutex> lk(mu);
  handle = h;
  return true;
}

// Every handle of the simulated device released, none used after.
void Driver::CheckReleased() {
  std::lock_guard<std::mutex> lk(gListing);
  if (Usb()) {
    // Through the USB stack: this process holds no device file open.
    int open = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
      while (const dirent* f = readdir(d)) {
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + f->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            std::strncmp(target, "/dev/bus/usb/", 13) == 0)
          ++open;
      }
      closedir(d);
    }
    SOAK_CHECK(open == 0, "camera %d: %d USB device files open after close", index, open);
    return;
  }
  sim::SimCamera& cam = entry->device->camera();
  SOAK_CHECK(cam.OpenHandles() == 0, "camera %d: %d device handles open after close", index,
             cam.OpenHandles());
  SOAK_CHECK(cam.Faults().releasedHandleUses == 0, "camera %d: a released handle was used", index);
}

void Driver::Close(const char* why) {
  Step(std::string("close (") + why + ")");
  tarncam_camera* h = nullptr;
  {
    std::unique_lock<std::mutex> lk(mu);
    h = handle;
    handle = nullptr;
    cv.wait(lk, [&] { return users == 0; });
  }
  if (h == nullptr) return;
  ++cancelsRunning;
  ++cancelsAsked;
  Check(tarncam_close(h), {TARNCAM_OK}, "close");
  --cancelsRunning;
  ++gTotals.closes;
  // Every exposure with a callback had it, once; the rest ended too.
  {
    std::lock_guard<std::mutex> lk(ledgerMu);
    for (auto& [seq, e] : ledger) {
      SOAK_CHECK(!e.callback || e.calls == 1,
                 "camera %d: exposure %" PRIu64 " had %d callbacks by the time close returned",
                 index, seq, e.calls);
      SOAK_CHECK(e.buf->GuardsIntact(), "camera %d: exposure %" PRIu64 " wrote outside its buffer",
                 index, seq);
      if (!e.observed) ++gTotals.unobserved;
    }
    ledger.clear();
  }
  CheckReleased();
  gone = false;
  if (!listed && !Usb()) {
    // Its own camera went with the handle.
    SOAK_CHECK(tarncam_sim_set_connected(id.c_str(), 1) == TARNCAM_ERR_NO_DEVICE,
               "camera %d: its own camera %s outlived its handle", index, id.c_str());
    RetireCamera();
  }
}

// Once a call has said the camera is gone, every call says so at once.
void Driver::DeadChecks() {
  Step("calls on a camera that has gone");
  ++gTotals.deadChecks;
  tarncam_camera* h = handle;
  const auto t0 = Clock::now();
  auto expect = [&](tarncam_status got, const char* what) {
    SOAK_CHECK(got == TARNCAM_ERR_NO_DEVICE, "camera %d gone: %s returned %s", index, what,
               Text(got));
  };
  expect(tarncam_set_control(h, TARNCAM_CONTROL_GAIN, 10), "set control");
  expect(tarncam_set_window(h, 640, 480), "set window");
  int64_t v = -1;
  expect(tarncam_get_control(h, TARNCAM_CONTROL_GAIN, &v), "get control");
  SOAK_CHECK(v == controls[TARNCAM_CONTROL_GAIN], "camera %d gone: get control gave %" PRId64,
             index, v);
  tarncam_window w{};
  w.struct_size = sizeof w;
  expect(tarncam_get_window(h, &w), "get window");
  SOAK_CHECK(w.width == width && w.height == height, "camera %d gone: window %ux%u, not %ux%u",
             index, w.width, w.height, width, height);
  tarncam_camera_info info{};
  info.struct_size = sizeof info;
  expect(tarncam_get_info(h, &info), "get info");
  SOAK_CHECK(id == info.id, "camera %d gone: info names %s", index, info.id);
  Guarded buf(size_t{752} * 480 * 2);
  expect(tarncam_start_exposure(h, buf.data(), buf.Size(), nullptr, nullptr), "start exposure");
  SOAK_CHECK(buf.Untouched(), "camera %d gone: a refused start wrote its buffer", index);
  expect(tarncam_guide_pulse(h, TARNCAM_GUIDE_PLUS_X, 100, 0), "guide pulse");
  expect(tarncam_guide_stop(h, TARNCAM_GUIDE_AXIS_X | TARNCAM_GUIDE_AXIS_Y), "guide stop");
  tarncam_guide_state g{};
  g.struct_size = sizeof g;
  expect(tarncam_guide_get_state(h, &g), "guide state");
  expect(tarncam_cancel_exposure(h), "cancel");
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  SOAK_CHECK(seconds < kPromptSeconds, "camera %d gone: eleven calls took %.2f s", index, seconds);
}

// ---------------------------------------------------------------------------
// Settings and guiding

void Driver::ChangeSettings() {
  Step("settings");
  tarncam_camera* h = handle;
  for (int n = 1 + rng.Below(3); n > 0; --n) {
    const auto c = static_cast<tarncam_control>(rng.Below(TARNCAM_CONTROL_COUNT));
    int64_t lo = 0, hi = 0;
    tarncam_control_range(c, &lo, &hi, nullptr);
    int64_t v = lo + static_cast<int64_t>(rng.Next() % static_cast<uint64_t>(hi - lo + 1));
    if (c == TARNCAM_CONTROL_BIT_DEPTH) v = rng.Below(2) != 0 ? 10 : 8;
    if (c == TARNCAM_CONTROL_EXPOSURE_MS && Usb()) {
      // Real time through the USB stack: short exposures (a held read
      // stands for a long one).
      const int64_t ms[] = {0, 1, 2, 5, 10, 20, 50, 200};
      v = rng.Pick(ms);
    } else if (c == TARNCAM_CONTROL_EXPOSURE_MS) {
      const int64_t ms[] = {0, 1, 5, 50, 200, 1000, 2000, 3'600'000};
      v = rng.Below(50) == 0 ? ms[7] : ms[rng.Below(7)];
    }
    const tarncam_status s = tarncam_set_control(h, c, v);
    Check(s, {TARNCAM_OK, TARNCAM_ERR_NO_DEVICE}, "set control");
    if (s == TARNCAM_OK) controls[c] = v;
  }
  if (rng.Below(2) != 0) {
    uint32_t w = 752, hgt = 480;
    switch (rng.Below(5)) {
      case 0:
        break;
      case 1:
        w = rng.Below(2) != 0 ? 376 : 400;
        hgt = rng.Below(2) != 0 ? 480 : 1 + rng.Below(479);
        break;
      case 2:
        w = 1 + rng.Below(752);
        break;
      case 3:
        w = 1 + rng.Below(8);
        hgt = 1 + rng.Below(8);
        break;
      default:
        w = 1 + rng.Below(616);
        hgt = 1 + rng.Below(479);
        break;
    }
    const tarncam_status s = tarncam_set_window(h, w, hgt);
    Check(s, {TARNCAM_OK, TARNCAM_ERR_NO_DEVICE}, "set window");
    if (s == TARNCAM_OK) {
      width = w;
      height = hgt;
    }
  }
  for (int c = 0; c < TARNCAM_CONTROL_COUNT; ++c) {
    int64_t got = -1;
    Check(tarncam_get_control(h, static_cast<tarncam_control>(c), &got),
          {TARNCAM_OK, TARNCAM_ERR_NO_DEVICE}, "get control");
    SOAK_CHECK(got == controls[c], "camera %d: control %d reads %" PRId64 ", set %" PRId64, index,
               c, got, controls[c]);
  }
}

// Out-of-range and malformed arguments: refused, and nothing changes.
void Driver::BadCalls() {
  Step("bad arguments");
  tarncam_camera* h = handle;
  const auto c = static_cast<tarncam_control>(rng.Below(TARNCAM_CONTROL_COUNT));
  int64_t lo = 0, hi = 0;
  tarncam_control_range(c, &lo, &hi, nullptr);
  const int64_t bad[] = {lo - 1, hi + 1, INT64_MIN, INT64_MAX,
                         c == TARNCAM_CONTROL_BIT_DEPTH ? 9 : hi + 1000};
  SOAK_CHECK(tarncam_set_control(h, c, rng.Pick(bad)) == TARNCAM_ERR_OUT_OF_RANGE,
             "camera %d: an out-of-range value of control %d was not refused", index, c);
  ++gTotals.outOfRange;
  const int unknown[] = {-1, TARNCAM_CONTROL_COUNT, 1000, INT32_MIN};
  SOAK_CHECK(tarncam_set_control(h, static_cast<tarncam_control>(rng.Pick(unknown)), 1) ==
                 TARNCAM_ERR_INVALID_ARGUMENT,
             "camera %d: an unknown control was not refused", index);
  ++gTotals.unknownControl;
  const uint32_t windows[][2] = {
      {0, 480}, {752, 0}, {753, 480}, {617, 479}, {1, 481}, {UINT32_MAX, UINT32_MAX}, {640, 1000}};
  const auto& wb = windows[rng.Below(7)];
  SOAK_CHECK(tarncam_set_window(h, wb[0], wb[1]) == TARNCAM_ERR_OUT_OF_RANGE,
             "camera %d: window %ux%u was not refused", index, wb[0], wb[1]);
  ++gTotals.outOfRange;
  tarncam_window w{};
  w.struct_size = sizeof w;
  Check(tarncam_get_window(h, &w), {TARNCAM_OK, TARNCAM_ERR_NO_DEVICE}, "get window");
  SOAK_CHECK(w.width == width && w.height == height,
             "camera %d: window %ux%u after refusals, "
             "set %ux%u",
             index, w.width, w.height, width, height);
  for (int k = 0; k < TARNCAM_CONTROL_COUNT; ++k) {
    int64_t got = -1;
    tarncam_get_control(h, static_cast<tarncam_control>(k), &got);
    SOAK_CHECK(got == controls[k], "camera %d: control %d changed to %" PRId64 " by a refused set",
               index, k, got);
  }
  // A buffer smaller than the frame is refused and left alone.
  const uint64_t frame =
      uint64_t{width} * height * (controls[TARNCAM_CONTROL_BIT_DEPTH] == 10 ? 2 : 1);
  Guarded small(frame - 1);
  const tarncam_status s = tarncam_start_exposure(h, small.data(), small.Size(), nullptr, nullptr);
  if (s == TARNCAM_ERR_NO_DEVICE) NoteGone("start exposure");
  SOAK_CHECK(s == TARNCAM_ERR_INVALID_ARGUMENT || s == TARNCAM_ERR_NO_DEVICE,
             "camera %d: a %" PRIu64 "-byte buffer for a %" PRIu64 "-byte frame got %s", index,
             frame - 1, frame, Text(s));
  SOAK_CHECK(small.Untouched(), "camera %d: a refused start wrote its buffer", index);
  ++gTotals.tooSmall;
  // Malformed guide commands.
  const uint32_t dirs[] = {0, 3, 12, 0x10, 0xFFFFFFFF};
  SOAK_CHECK(tarncam_guide_pulse(h, rng.Pick(dirs), 10, 10) == TARNCAM_ERR_INVALID_ARGUMENT,
             "camera %d: malformed guide directions were not refused", index);
  const int32_t durations[] = {0, -2, INT32_MIN, TARNCAM_GUIDE_MAX_MS + 1};
  SOAK_CHECK(tarncam_guide_pulse(h, TARNCAM_GUIDE_MINUS_Y, 5, rng.Pick(durations)) ==
                 TARNCAM_ERR_OUT_OF_RANGE,
             "camera %d: an out-of-range guide duration was not refused", index);
  SOAK_CHECK(tarncam_guide_stop(h, rng.Below(2) != 0 ? 0 : 4) == TARNCAM_ERR_INVALID_ARGUMENT,
             "camera %d: malformed guide axes were not refused", index);
  ++gTotals.guideRefused;
}

void GuideCalls(tarncam_camera* h, Rng& r,
                const std::function<void(tarncam_status, const char*)>& check) {
  const uint32_t x[] = {0, TARNCAM_GUIDE_PLUS_X, TARNCAM_GUIDE_MINUS_X};
  const uint32_t y[] = {0, TARNCAM_GUIDE_PLUS_Y, TARNCAM_GUIDE_MINUS_Y};
  uint32_t d = r.Pick(x) | r.Pick(y);
  if (d == 0) d = TARNCAM_GUIDE_PLUS_X;
  const int32_t ms[] = {1, 10, 500, 3000, TARNCAM_GUIDE_MAX_MS, TARNCAM_GUIDE_UNTIL_STOPPED};
  check(tarncam_guide_pulse(h, d, r.Pick(ms), r.Pick(ms)), "guide pulse");
  ++gTotals.guidePulses;
  if (r.Below(2) != 0) {
    check(tarncam_guide_stop(h, 1 + r.Below(3)), "guide stop");
    ++gTotals.guideStops;
  }
  tarncam_guide_state g{};
  g.struct_size = sizeof g;
  check(tarncam_guide_get_state(h, &g), "guide state");
  SOAK_CHECK((g.x_direction == 0 || g.x_direction == TARNCAM_GUIDE_PLUS_X ||
              g.x_direction == TARNCAM_GUIDE_MINUS_X) &&
                 (g.y_direction == 0 || g.y_direction == TARNCAM_GUIDE_PLUS_Y ||
                  g.y_direction == TARNCAM_GUIDE_MINUS_Y) &&
                 g.x_remaining_ms >= -1 && g.x_remaining_ms <= TARNCAM_GUIDE_MAX_MS &&
                 g.y_remaining_ms >= -1 && g.y_remaining_ms <= TARNCAM_GUIDE_MAX_MS,
             "guide state directions %u/%u, %" PRId64 "/%" PRId64 " ms left", g.x_direction,
             g.y_direction, g.x_remaining_ms, g.y_remaining_ms);
}

void Driver::Guide() {
  Step("guide");
  GuideCalls(handle, rng, [&](tarncam_status s, const char* what) {
    Check(s,
          {TARNCAM_OK, TARNCAM_ERR_NO_DEVICE, TARNCAM_ERR_PROTOCOL, TARNCAM_ERR_TIMEOUT,
           TARNCAM_ERR_IO},
          what);
  });
}

// ---------------------------------------------------------------------------
// Exposures

// Starts an exposure with the handle's settings into a fresh guarded buffer
// and enters it in the ledger. Null when the start was refused.
Exposure* Driver::Begin(bool callback, tarncam_status* status) {
  Exposure e;
  e.width = width;
  e.height = height;
  e.ten = controls[TARNCAM_CONTROL_BIT_DEPTH] == 10;
  e.flipH = static_cast<int>(controls[TARNCAM_CONTROL_FLIP_HORIZONTAL]);
  e.flipV = static_cast<int>(controls[TARNCAM_CONTROL_FLIP_VERTICAL]);
  e.exposureMs = static_cast<uint32_t>(controls[TARNCAM_CONTROL_EXPOSURE_MS]);
  e.callback = callback;
  e.buf = std::make_unique<Guarded>(size_t{width} * height * (e.ten ? 2 : 1));
  return Enter(std::move(e), handle, status);
}

// Enters `e` in the ledger and starts it on `camera` (the handle, or the
// camera a callback got); a refused start is taken out again. Null then.
Exposure* Driver::Enter(Exposure e, tarncam_camera* camera, tarncam_status* status) {
  Guarded* buf = e.buf.get();
  const bool callback = e.callback;
  std::unique_lock<std::mutex> lk(ledgerMu);
  // Entered and counted before the start: its callback, and one it starts
  // in turn, may run before the start returns.
  e.sequence = ++started;
  e.cancelMark = cancelsAsked.load();
  e.cancelOverlap = cancelsRunning.load() > 0;
  auto [it, fresh] = ledger.emplace(e.sequence, std::move(e));
  SOAK_CHECK(fresh, "camera %d: exposure %" PRIu64 " entered twice", index, started);
  lk.unlock();
  const tarncam_status s = tarncam_start_exposure(camera, buf->data(), buf->Size(),
                                                  callback ? &Driver::OnFrame : nullptr, this);
  lk.lock();
  *status = s;
  if (cancelsRunning.load() > 0) it->second.cancelOverlap = true;
  if (s != TARNCAM_OK) {
    SOAK_CHECK(buf->Untouched(), "camera %d: a refused start (%s) wrote its buffer", index,
               Text(s));
    ledger.erase(it);
    --started;
    return nullptr;
  }
  ++gTotals.exposures;
  return &it->second;
}

// From a callback (the worker): the same as Begin, on the camera the
// callback got, with the ledger locked by the caller released.
void Driver::OnFrame(tarncam_camera* camera, const tarncam_frame_record* record, void* user) {
  auto* d = static_cast<Driver*>(user);
  SOAK_CHECK(record != nullptr && record->struct_size >= sizeof *record,
             "camera %d: a callback record of %u bytes", d->index,
             record ? record->struct_size : 0);
  ++gTotals.callbacks;
  {
    std::lock_guard<std::mutex> lk(d->ledgerMu);
    auto it = d->ledger.find(record->sequence);
    SOAK_CHECK(it != d->ledger.end(),
               "camera %d: a callback for exposure %" PRIu64 " that was never started (%" PRIu64
               " started, %zu in the ledger, status %s)",
               d->index, record->sequence, d->started, d->ledger.size(),
               Text(static_cast<tarncam_status>(record->status)));
    Exposure& e = it->second;
    ++d->inCallback;
    SOAK_CHECK(e.callback, "camera %d: a callback for exposure %" PRIu64 " started without one",
               d->index, record->sequence);
    SOAK_CHECK(++e.calls == 1, "camera %d: exposure %" PRIu64 " ended %d times", d->index,
               record->sequence, e.calls);
    CheckRecord(*record, e, "callback", d->CancelAsked(e));
    e.observed = true;
  }
  if (record->status == TARNCAM_ERR_NO_DEVICE) d->NoteGone("frame record");
  d->CallbackActions(camera, *record);
  {
    std::lock_guard<std::mutex> lk(d->ledgerMu);
    --d->inCallback;
  }
  d->ledgerCv.notify_all();
}

// What a callback does on its own camera, as the driver planned it.
void Driver::CallbackActions(tarncam_camera* camera, const tarncam_frame_record& r) {
  const auto allowed = [&](tarncam_status s, const char* what) {
    SOAK_CHECK(s == TARNCAM_OK || s == TARNCAM_ERR_NO_DEVICE || s == TARNCAM_ERR_CLOSED,
               "camera %d: %s from a callback returned %s", index, what, Text(s));
  };
  if (plan & 1) {
    // Close from the callback is refused and does nothing.
    SOAK_CHECK(tarncam_close(camera) == TARNCAM_ERR_BUSY,
               "camera %d: close from its own callback was not refused", index);
    ++gTotals.callbackCloseRefused;
  }
  if (plan & 2) {
    int64_t v = 0;
    allowed(tarncam_get_control(camera, TARNCAM_CONTROL_GAIN, &v), "get control");
    tarncam_window w{};
    w.struct_size = sizeof w;
    allowed(tarncam_get_window(camera, &w), "get window");
    tarncam_guide_state g{};
    g.struct_size = sizeof g;
    allowed(tarncam_guide_get_state(camera, &g), "guide state");
  }
  bool chainedOne = false;
  bool more = false;
  {
    std::lock_guard<std::mutex> lk(ledgerMu);
    more = chainLeft > 0;
    if (more) --chainLeft;
  }
  if (more) {
    tarncam_status s = TARNCAM_OK;
    // On the camera the callback got, with the settings of the frame it reported.
    Exposure e;
    e.width = r.width;
    e.height = r.height;
    e.ten = r.bit_depth == 10;
    e.flipH = r.flip_horizontal;
    e.flipV = r.flip_vertical;
    e.exposureMs = r.exposure_ms;
    e.callback = true;
    e.buf = std::make_unique<Guarded>(r.frame_bytes);
    if (Enter(std::move(e), camera, &s) != nullptr) {
      ++gTotals.chained;
      chainedOne = true;
    } else {
      SOAK_CHECK(s == TARNCAM_ERR_NO_DEVICE || s == TARNCAM_ERR_CLOSED,
                 "camera %d: a start from a callback returned %s", index, Text(s));
      std::lock_guard<std::mutex> lk(ledgerMu);
      chainLeft = 0;
    }
  }
  if (plan & 4) {
    // A wait in the callback does not block: the next exposure (when one was
    // started) cannot run before the callback returns.
    tarncam_frame_record w{};
    w.struct_size = sizeof w;
    const tarncam_status s = tarncam_wait_frame(camera, TARNCAM_WAIT_FOREVER, &w);
    // Once the camera is known to be gone, a wait says so (and still fills
    // the record it has).
    if (chainedOne) {
      SOAK_CHECK(s == TARNCAM_ERR_WAIT_TIMEOUT || s == TARNCAM_ERR_CLOSED ||
                     s == TARNCAM_ERR_NO_DEVICE,
                 "camera %d: a wait in the callback for the exposure it started returned %s", index,
                 Text(s));
    } else {
      SOAK_CHECK(s == TARNCAM_ERR_CLOSED ||
                     ((s == static_cast<tarncam_status>(r.status) || s == TARNCAM_ERR_NO_DEVICE) &&
                      w.sequence == r.sequence),
                 "camera %d: a wait in the callback returned %s for exposure %" PRIu64, index,
                 Text(s), w.sequence);
    }
  }
  if ((plan & 8) && chainedOne) {
    // Cancels the exposure just started, without waiting for it.
    const tarncam_status s = Cancel(camera);
    allowed(s, "cancel");
    ++gTotals.callbackCancels;
  }
}

// Until every exposure started with a callback has had it.
void Driver::WaitForCallbacks() {
  std::unique_lock<std::mutex> lk(ledgerMu);
  ledgerCv.wait(lk, [&] {
    if (inCallback != 0) return false;
    for (const auto& [seq, e] : ledger)
      if (e.callback && e.calls == 0) return false;
    return true;
  });
}

// Waits until the frame read after `readsBefore` is pending in the camera,
// or the exposure has ended without one.
bool Driver::WaitPending(uint64_t readsBefore) {
  for (;;) {
    if (Usb()) {
      const std::string a = gadget->Ask("pending " + std::to_string(readsBefore + 1) + " 50",
                                        "pending");
      SOAK_CHECK(!a.empty(), "camera %d: the gadget does not answer\n%s", index,
                 gadget->Tail().c_str());
      if (a == "pending 1") return true;
    } else if (entry->device->camera().WaitForPendingRead(readsBefore + 1, 5)) {
      return true;
    }
    if (tarncam_wait_frame(handle, 0, nullptr) != TARNCAM_ERR_WAIT_TIMEOUT) return false;
  }
}

// After an exposure has ended: its record through a wait (or its callbacks),
// checked; the handle's end of it settled.
void Driver::Settle(const char* how, bool callbacks) {
  if (callbacks) {
    WaitForCallbacks();
    std::lock_guard<std::mutex> lk(ledgerMu);
    ledger.clear();  // every one observed and checked by its callback
    return;
  }
  tarncam_frame_record r{};
  r.struct_size = sizeof r;
  tarncam_status s;
  if (rng.Below(2) != 0) {
    ++gTotals.waitsForever;
    s = tarncam_wait_frame(handle, TARNCAM_WAIT_FOREVER, &r);
  } else {
    ++gTotals.pollWaits;
    const uint32_t timeouts[] = {0, 1, 5};
    const uint32_t t = rng.Pick(timeouts);
    while ((s = tarncam_wait_frame(handle, t, &r)) == TARNCAM_ERR_WAIT_TIMEOUT) {
    }
    // A camera known to be gone answers so before its exposure has ended,
    // without a record; waiting on for the end gets the record.
    if (s == TARNCAM_ERR_NO_DEVICE && r.sequence == 0)
      s = tarncam_wait_frame(handle, TARNCAM_WAIT_FOREVER, &r);
  }
  // Once the camera is known to be gone, the wait says so whatever the
  // record says (the record is filled all the same).
  SOAK_CHECK(s == static_cast<tarncam_status>(r.status) || s == TARNCAM_ERR_NO_DEVICE,
             "camera %d: wait returned %s, its record says %s", index, Text(s),
             Text(static_cast<tarncam_status>(r.status)));
  if (s == TARNCAM_ERR_NO_DEVICE) NoteGone("wait");
  std::lock_guard<std::mutex> lk(ledgerMu);
  SOAK_CHECK(r.sequence == started,
             "camera %d: %s: wait gave exposure %" PRIu64 " after %" PRIu64 " were started", index,
             how, r.sequence, started);
  auto it = ledger.find(r.sequence);
  SOAK_CHECK(it != ledger.end(), "camera %d: a record of an unknown exposure", index);
  CheckRecord(r, it->second, how, CancelAsked(it->second));
  it->second.observed = true;
  // Asked again, the wait gives the same record.
  tarncam_frame_record again{};
  again.struct_size = sizeof again;
  tarncam_wait_frame(handle, 0, &again);
  SOAK_CHECK(again.sequence == r.sequence && again.outcome == r.outcome,
             "camera %d: a second wait gave exposure %" PRIu64 ", the first %" PRIu64, index,
             again.sequence, r.sequence);
  for (auto& [seq, e] : ledger)
    if (!e.observed) ++gTotals.unobserved;
  ledger.clear();
  if (r.status == TARNCAM_ERR_NO_DEVICE) NoteGone("frame record");
}

void Driver::Expose() {
  enum Mode { kWait, kCallback, kChain, kCancel, kSecondStart, kUnplug, kClose, kModes };
  const Mode modes[] = {kWait,  kWait,   kWait,   kCallback,    kCallback, kChain,
                        kChain, kCancel, kCancel, kSecondStart, kUnplug,   kClose};
  Mode mode = rng.Pick(modes);
  // Through USB an unplug costs an enumeration (and a power loss a
  // download): a quarter as many.
  if (Usb() && mode == kUnplug && rng.Below(4) != 0) mode = kWait;
  const char* names[] = {"wait", "callback", "chain", "cancel", "second start", "unplug", "close"};
  Step(std::string("exposure: ") + names[mode]);
  const bool callback =
      mode == kCallback || mode == kChain || (mode >= kCancel && rng.Below(3) == 0);
  {
    std::lock_guard<std::mutex> lk(ledgerMu);
    chainLeft = mode == kChain ? 1 + static_cast<int>(rng.Below(3)) : 0;
    plan = callback ? rng.Below(16) : 0;
    if (mode != kChain) plan &= ~8u;
  }
  const auto keep = entry;  // a close during the exposure may retire the camera
  sim::SimCamera* cam = keep ? &keep->device->camera() : nullptr;
  const bool hold = mode >= kCancel;
  uint64_t readsBefore = 0;
  // Reads held pending: by the simulator in this process, or by the gadget
  // (which answers with its reads so far).
  if (cam != nullptr) {
    if (hold) cam->HoldReads(true);
    readsBefore = cam->Stats().reads;
  } else if (hold) {
    const std::string a = gadget->Ask("hold", "held");
    SOAK_CHECK(!a.empty(), "camera %d: the gadget does not answer\n%s", index,
               gadget->Tail().c_str());
    readsBefore = static_cast<uint64_t>(ParseStats(a)["reads"]);
  }
  const auto stopHolding = [&](bool release) {
    if (cam != nullptr) {
      cam->HoldReads(false);
      if (release) cam->ReleaseRead();
    } else {
      gadget->Send("release");
    }
  };
  tarncam_status s = TARNCAM_OK;
  Exposure* e = Begin(callback, &s);
  if (e == nullptr) {
    if (hold) stopHolding(false);
    Check(s, {TARNCAM_ERR_NO_DEVICE}, "start exposure");
    return;
  }
  std::thread waiter;
  std::atomic<int> waiterStatus{-1};
  std::atomic<bool> waiterReady{false};
  if (hold) {
    if (mode == kClose) {
      // Another thread waits on: close ends its wait.
      // (No caller can know that another thread is inside its wait already;
      // the flag and a pause make it all but certain, as for any program.)
      waiter = std::thread([&, h = handle] {
        tarncam_frame_record r{};
        r.struct_size = sizeof r;
        waiterReady = true;
        waiterStatus = tarncam_wait_frame(h, TARNCAM_WAIT_FOREVER, &r);
      });
    }
    WaitPending(readsBefore);
    switch (mode) {
      case kCancel:
        Check(Cancel(handle), {TARNCAM_OK, TARNCAM_ERR_NO_DEVICE}, "cancel");
        ++gTotals.cancels;
        break;
      case kSecondStart: {
        tarncam_status second = TARNCAM_OK;
        const bool cb = false;
        if (!callback && Begin(cb, &second) != nullptr) {
          // The first had ended already (a fault or the disturber's cancel).
          break;
        }
        if (!callback) {
          Check(second, {TARNCAM_ERR_EXPOSING, TARNCAM_ERR_NO_DEVICE}, "second start");
          if (second == TARNCAM_ERR_EXPOSING) ++gTotals.refusedStarts;
        }
        break;
      }
      case kUnplug:
        Check(SetConnected(false), {TARNCAM_OK}, "unplug");
        ++gTotals.unplugs;
        if (rng.Below(2) != 0) {
          // Plugged straight back in: the handle stays dead all the same.
          Check(SetConnected(true), {TARNCAM_OK}, "replug");
          ++gTotals.replugs;
        }
        break;
      case kClose:
        // The read stays held: close's abort (or, on a camera that ignores
        // it, the library's cancel of its own transfer) ends it.
        while (!waiterReady) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++gTotals.closesDuringExposure;
        Close("during an exposure");
        waiter.join();
        stopHolding(false);
        SOAK_CHECK(
            waiterStatus != TARNCAM_ERR_WAIT_TIMEOUT && waiterStatus != TARNCAM_ERR_NO_EXPOSURE,
            "camera %d: a wait across close returned %s", index,
            Text(static_cast<tarncam_status>(waiterStatus.load())));
        if (waiterStatus == TARNCAM_ERR_CLOSED) ++gTotals.closedWaits;
        return;
      default:
        break;
    }
    stopHolding(true);
  }
  Settle(names[mode], callback);
  if (mode == kUnplug && !gone) {
    // Noticed by the read that died with the device, or else by the next
    // transfer, also when the camera is back already.
    const tarncam_status s = tarncam_guide_stop(handle, TARNCAM_GUIDE_AXIS_X);
    SOAK_CHECK(s == TARNCAM_ERR_NO_DEVICE, "camera %d: a transfer after an unplug returned %s",
               index, Text(s));
    NoteGone("guide stop after an unplug");
  }
}

void Driver::Run() {
  Step("start");
  while (done < quota) {
    if (!haveCamera) NewCamera();
    if (handle == nullptr) {
      Open();
      continue;
    }
    if (gone) {
      DeadChecks();
      Close("gone");
      // The user plugs it in again (a listed camera; its own went with the handle).
      if (listed && haveCamera) {
        SetConnected(true);
        ++gTotals.replugs;
      }
      continue;
    }
    const uint32_t roll = rng.Below(100);
    if (roll < 10) {
      ChangeSettings();
    } else if (roll < 14) {
      Guide();
    } else if (roll < 16) {
      BadCalls();
    } else if (roll < 18) {
      Close("and reopen");
    } else if (roll < 19) {
      Close("for a new camera");
      if (haveCamera) RetireCamera();
    } else {
      Expose();
      ++done;
    }
  }
  Close("at the end");
  if (haveCamera) RetireCamera();
  finished = true;
}

// The disturber: calls from another thread on a camera's handle, and cables.
void Driver::Disturb(Rng& r) {
  tarncam_camera* h = nullptr;
  {
    std::lock_guard<std::mutex> lk(mu);
    if (handle == nullptr) return;
    h = handle;
    ++users;
  }
  ++gTotals.disturberCalls;
  const auto check = [&](tarncam_status s, const char* what) {
    if (s == TARNCAM_ERR_NO_DEVICE) NoteGone(what);
    SOAK_CHECK(s == TARNCAM_OK || s == TARNCAM_ERR_NO_DEVICE || s == TARNCAM_ERR_PROTOCOL ||
                   s == TARNCAM_ERR_TIMEOUT || s == TARNCAM_ERR_IO,
               "camera %d: %s from another thread returned %s", index, what, Text(s));
  };
  switch (r.Below(8)) {
    case 0:
      // Through USB an exposure takes real time: fewer of them cancelled.
      if (Usb() && r.Below(4) != 0) break;
      check(Cancel(h), "cancel");
      ++gTotals.cancels;
      break;
    case 1:
    case 2:
      GuideCalls(h, r, check);
      break;
    case 3: {
      tarncam_frame_record rec{};
      rec.struct_size = sizeof rec;
      const tarncam_status s = tarncam_wait_frame(h, r.Below(3), &rec);
      if (s != TARNCAM_ERR_WAIT_TIMEOUT && s != TARNCAM_ERR_NO_EXPOSURE) {
        if (s == TARNCAM_ERR_NO_DEVICE) NoteGone("wait");
        SOAK_CHECK(s == TARNCAM_ERR_NO_DEVICE ||
                       (s == static_cast<tarncam_status>(rec.status) &&
                        (s == TARNCAM_OK) == (rec.outcome == TARNCAM_FRAME_COMPLETE)),
                   "camera %d: a wait from another thread returned %s, record status %s "
                   "outcome %d",
                   index, Text(s), Text(static_cast<tarncam_status>(rec.status)), rec.outcome);
      }
      break;
    }
    case 4: {
      tarncam_camera_info info{};
      info.struct_size = sizeof info;
      check(tarncam_get_info(h, &info), "get info");
      tarncam_window w{};
      w.struct_size = sizeof w;
      check(tarncam_get_window(h, &w), "get window");
      SOAK_CHECK(w.frame_bytes == uint64_t{w.width} * w.height * w.bytes_per_sample,
                 "camera %d: window %ux%u of %" PRIu64 " bytes", index, w.width, w.height,
                 w.frame_bytes);
      break;
    }
    case 5:
      // Through USB every pull costs an enumeration, about a second.
      if (r.Below(Usb() ? 32 : 8) == 0) {
        // The cable, pulled at any moment.
        SetConnected(false);
        ++gTotals.unplugs;
      }
      break;
    default: {
      uint32_t count = 0;
      std::lock_guard<std::mutex> lk(gListing);
      SOAK_CHECK(tarncam_list_cameras(nullptr, 0, &count) == TARNCAM_OK, "listing cameras failed");
      break;
    }
  }
  std::lock_guard<std::mutex> lk(mu);
  if (--users == 0) cv.notify_all();
}

}  // namespace

void RunApiSeed(uint64_t seed, uint64_t exposures) {
#if defined(__GLIBC__)
  // Frame buffers of every size come and go. glibc raises its mmap threshold
  // after the first large free and then serves such buffers from heaps that
  // fragment and stay resident; a fixed threshold gives them back on free, so
  // that resident memory measures what is still held.
  static const bool fixedThreshold = mallopt(M_MMAP_THRESHOLD, 128 * 1024) != 0;
  (void)fixedThreshold;
#endif
  // The first listing starts the USB backend, whose context (and the event
  // thread its library keeps for hotplug) lives as long as the process: it
  // belongs to the baseline, not to the seed.
  static const bool backendStarted = [] {
    uint32_t count = 0;
    return tarncam_list_cameras(nullptr, 0, &count) == TARNCAM_OK;
  }();
  (void)backendStarted;
  Rng rng(seed);
  const uint64_t baseThreads = ProcStatus("Threads:");
  uint32_t listedBefore = 0;
  tarncam_list_cameras(nullptr, 0, &listedBefore);
  // One camera through the USB stack: the machine has one device controller.
  const int n = Usb() ? (rng.Below(2), 1) : 2 + static_cast<int>(rng.Below(2));
  std::vector<std::unique_ptr<Driver>> drivers;
  for (int i = 0; i < n; ++i)
    drivers.push_back(std::make_unique<Driver>(i, rng.Next(), (exposures + n - 1 - i) / n));
  std::vector<std::thread> threads;
  for (auto& d : drivers) threads.emplace_back([&d] { d->Run(); });
  const bool disturb = rng.Below(4) != 0;
  std::atomic<bool> stop{false};
  std::thread disturber([&, r = Rng(rng.Next())]() mutable {
    while (disturb && !stop.load()) {
      drivers[r.Below(static_cast<uint32_t>(drivers.size()))]->Disturb(r);
      // Through USB exposures take real time: turns as often as a busy
      // user's, not as a second camera's.
      std::this_thread::sleep_for(Usb() ? std::chrono::microseconds(5000 + r.Below(45000))
                                        : std::chrono::microseconds(50 + r.Below(400)));
    }
  });
  // A driver that makes no step for --stall-seconds hangs.
  for (;;) {
    bool all = true;
    const int64_t now = Clock::now().time_since_epoch().count();
    for (auto& d : drivers) {
      if (d->finished) continue;
      all = false;
      const int64_t last = d->lastStepNs.load();
      SOAK_CHECK(last == 0 || now - last < int64_t{gSettings.stallSeconds} * 1'000'000'000,
                 "a camera's driver made no step for %d s of real time (a hang)",
                 gSettings.stallSeconds);
    }
    if (all) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  stop = true;
  disturber.join();
  for (auto& t : threads) t.join();
  drivers.clear();

  // Nothing left: no camera listed beyond those before, no thread beyond them.
  uint32_t listedAfter = 0;
  tarncam_list_cameras(nullptr, 0, &listedAfter);
  SOAK_CHECK(listedAfter == listedBefore, "%u cameras listed after the seed, %u before",
             listedAfter, listedBefore);
  // A joined thread can still be listed for a moment while the kernel
  // finishes its exit (long enough to see under emulation); one that stays
  // was left behind.
  uint64_t threadsNow = ProcStatus("Threads:");
  for (int i = 0; i < 100 && threadsNow > baseThreads; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    threadsNow = ProcStatus("Threads:");
  }
  Max(gTotals.maxThreads, threadsNow);
  SOAK_CHECK(threadsNow <= baseThreads,
             "%" PRIu64 " threads after the seed, %" PRIu64 " before; now:%s", threadsNow,
             baseThreads, ThreadNames().c_str());
  static const uint64_t baselineKb = ProcStatus("VmRSS:");
  const uint64_t rss = ProcStatus("VmRSS:");
  Max(gTotals.maxRssKb, rss);
  SOAK_CHECK(rss <= baselineKb + (kSanitized ? 1024 * 1024 : 64 * 1024),
             "resident memory grew from %" PRIu64 " to %" PRIu64 " KiB", baselineKb, rss);
  ++gTotals.seeds;
}

void PrintApiTotals(double seconds, int violations) {
  const ApiTotals& t = gTotals;
  std::printf(
      "soak --api: seeds %" PRIu64 "..%" PRIu64 ", %" PRIu64 " exposures (%" PRIu64
      " started from callbacks) on %" PRIu64
      " cameras in %.1f s\n"
      "  frames: %" PRIu64 " complete, %" PRIu64 " short, %" PRIu64 " failed; %" PRIu64
      " checked byte-exact; %" PRIu64 " cancelled, %" PRIu64 " no device; %" PRIu64
      " ended unobserved\n"
      "  faults injected: %" PRIu64 " failed reads, %" PRIu64 " timed-out reads, %" PRIu64
      " short reads, %" PRIu64 " failed control transfers, %" PRIu64
      " disconnects mid-read, %" PRIu64 " blank returns after power loss; %" PRIu64
      " unplugs by the soak; %" PRIu64 " aborts ignored by the camera\n"
      "  cameras: %" PRIu64 " listed, %" PRIu64 " ignoring the abort, %" PRIu64
      " blank at start (%" PRIu64
      " never taking firmware)\n"
      "  calls: %" PRIu64 " callbacks, %" PRIu64 " waits forever, %" PRIu64
      " polling waits, %" PRIu64 " waits ended by close; %" PRIu64 " cancels (%" PRIu64
      " from callbacks); %" PRIu64 " refused second starts, %" PRIu64
      " refused closes from callbacks; %" PRIu64 " guide pulses, %" PRIu64 " stops; %" PRIu64
      " disturber turns\n"
      "  refused: %" PRIu64 " out-of-range settings, %" PRIu64 " unknown controls, %" PRIu64
      " small buffers, %" PRIu64
      " malformed guide sets\n"
      "  handles: %" PRIu64 " opens (%" PRIu64 " failed), %" PRIu64 " closes (%" PRIu64
      " during exposures), %" PRIu64 " checks of a gone camera, %" PRIu64
      " replugs\n"
      "  peak: %" PRIu64 " KiB resident, %" PRIu64
      " threads between seeds\n"
      "%s"
      "  invariant violations: %d\n",
      gSettings.seed, gSettings.seed + gSettings.seeds - 1, t.exposures(), t.chained(), t.cameras(),
      seconds, t.complete(), t.shortFrames(), t.failed(), t.exact(), t.cancelledStatus(),
      t.noDeviceStatus(), t.unobserved(), t.readsFailed(), t.readsTimedOut(), t.readsShort(),
      t.controlFailed(), t.disconnects(), t.blankReturns(), t.unplugs(), t.ignoredAborts(),
      t.listedCameras(),
      t.ignoreAbortCameras(), t.blankCameras(), t.stuckBlankCameras(), t.callbacks(),
      t.waitsForever(), t.pollWaits(), t.closedWaits(), t.cancels(), t.callbackCancels(),
      t.refusedStarts(), t.callbackCloseRefused(), t.guidePulses(), t.guideStops(),
      t.disturberCalls(), t.outOfRange(), t.unknownControl(), t.tooSmall(), t.guideRefused(),
      t.opens(), t.openFailures(), t.closes(), t.closesDuringExposure(), t.deadChecks(),
      t.replugs(), t.maxRssKb.load(), t.maxThreads.load(),
      Usb() ? ("  through the USB stack (tarncam-gadget): " + std::to_string(t.gadgetLost()) +
               " control requests' data lost by gadgetfs; " + std::to_string(t.hostReadsFailed()) +
               " reads failed as the library saw them (a timed-out read ends on the host's "
               "clock, so the gadget does not count it)\n")
                  .c_str()
            : "",
      violations);
}

}  // namespace soak
