#include "api/camera.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "api/status.h"
#include "capture/frame_outcome.h"
#include "capture/readout.h"
#include "guide/guide.h"
#include "sensor/register_block.h"
#include "tarncam/tarncam_native.h"
#include "usb/control.h"
#include "usb/device.h"
#include "usb/open_verify.h"
#include "usb/requests.h"

using namespace tarncam;
using namespace tarncam::api;

namespace {

// How long a stop gives the camera to answer its abort before cancelling on
// the host's side, and how often it repeats that cancel (a read issued just
// after one is caught by the next).
constexpr auto kCancelRepeat = std::chrono::milliseconds(20);

uint16_t Bits(uint32_t v, uint32_t mask) { return static_cast<uint16_t>(v & mask); }

// The record numbers the outcomes of tarncam_last_frame one lower, having no
// "no frame": whatever brought nothing of this exposure failed.
static_assert(TARNCAM_FRAME_COMPLETE == kFrameComplete - 1 &&
              TARNCAM_FRAME_SHORT == kFrameShort - 1 && TARNCAM_FRAME_FAILED == kFrameFailed - 1);
static_assert(TARNCAM_LAST_FRAME_COMPLETE == TARNCAM_FRAME_COMPLETE + 1 &&
              TARNCAM_LAST_FRAME_SHORT == TARNCAM_FRAME_SHORT + 1 &&
              TARNCAM_LAST_FRAME_FAILED == TARNCAM_FRAME_FAILED + 1);

int32_t RecordOutcome(const FrameVerdict& v) {
  return v.Delivered() ? static_cast<int32_t>(v.kind) - 1 : TARNCAM_FRAME_FAILED;
}

// One meaning for each guide direction bit: the camera API's, the
// simulator's and the core's.
static_assert(TARNCAM_GUIDE_PLUS_X == kGuidePlusX && TARNCAM_GUIDE_MINUS_X == kGuideMinusX &&
              TARNCAM_GUIDE_PLUS_Y == kGuidePlusY && TARNCAM_GUIDE_MINUS_Y == kGuideMinusY);
static_assert(TARNCAM_SIM_GUIDE_PLUS_X == kGuidePlusX &&
              TARNCAM_SIM_GUIDE_MINUS_X == kGuideMinusX &&
              TARNCAM_SIM_GUIDE_PLUS_Y == kGuidePlusY && TARNCAM_SIM_GUIDE_MINUS_Y == kGuideMinusY);
static_assert(TARNCAM_GUIDE_UNTIL_STOPPED == kGuideUntilStopped);

static_assert(TARNCAM_FIRMWARE_VERSION == kExpectedFirmware);

}  // namespace

tarncam_camera::tarncam_camera(Target t, bool owns)
    : target(std::move(t)),
      ownsSim(owns),
      state(std::make_unique<CameraState>()),
      core{*state, target.platform} {
  // The settle and a retry's controller restart end early on a stop.
  state->waitStop = &stop;
}

tarncam_camera::~tarncam_camera() {
  if (worker.joinable()) {
    {
      std::lock_guard<std::mutex> lk(mu);
      workerExit = true;
    }
    cv.notify_all();
    worker.join();
  }
}

tarncam_status tarncam_camera::Open(Target t, bool ownsSim, std::unique_ptr<tarncam_camera>* out) {
  Registry& registry = Registry::Instance();
  const std::string id = t.id;
  const char* idText = id.c_str();
  if (!registry.ClaimOpen(id)) {
    return Report(TARNCAM_ERR_BUSY, 0, "open %s: open through another handle", idText);
  }
  std::unique_ptr<tarncam_camera> cam;
  try {
    cam.reset(new tarncam_camera(std::move(t), ownsSim));
  } catch (const std::bad_alloc&) {
    registry.ReleaseOpen(id);
    return Report(TARNCAM_ERR_NO_MEMORY, 0, "open %s", idText);
  }
  auto fail = [&](tarncam_status status, int32_t os, const char* what) {
    ReleaseCamera(cam->core);
    registry.ReleaseOpen(id);
    return Report(status, os, "open %s: %s", idText, what);
  };

  const VerifiedOpen verified = OpenAndVerify(cam->core, cam->target.path.c_str());
  const OpenResult& opened = verified.open;
  const uint32_t version = verified.version;
  switch (opened.status) {
    case OpenStatus::kOpened:
      break;
    case OpenStatus::kNotFound:
      return fail(TARNCAM_ERR_NO_DEVICE, 0, "not found");
    case OpenStatus::kFailed:
      return fail(FromUsb(opened.usb.status), opened.usb.osError, "open");
    case OpenStatus::kStillBlank:
      return fail(TARNCAM_ERR_FIRMWARE_LOAD, 0, "still blank after two firmware downloads");
    case OpenStatus::kReadoutRunning:
      return fail(TARNCAM_ERR_BUSY, 0, "a readout still runs");
  }
  switch (verified.status) {
    case VerifyStatus::kVerified:
    case VerifyStatus::kNotOpened:  // answered above
      break;
    case VerifyStatus::kQueryFailed:
      // Reported as what it is rather than as a firmware version equal to
      // the query code.
      return fail(FromUsb(verified.query.status), verified.query.osError, "firmware version query");
    case VerifyStatus::kWrongFirmware: {
      char what[80];
      std::snprintf(what, sizeof what, "firmware version 0x%08X; this library drives 0x%08X",
                    version, kExpectedFirmware);
      const tarncam_status s = fail(TARNCAM_ERR_WRONG_FIRMWARE, 0, what);
      NoteFirmwareVersion(version);
      return s;
    }
  }
  uint32_t word = 0;
  const UsbResult ident = ReadIdentification(cam->core, &word);
  if (!ident.ok()) return fail(FromUsb(ident.status), ident.osError, "identification");

  tarncam_camera_info& info = cam->info;
  info.struct_size = sizeof info;
  std::snprintf(info.id, sizeof info.id, "%s", idText);
  DeviceInfo listed[8]{};
  const uint32_t n = cam->target.platform.usb->ListDevices(listed, 8);
  for (uint32_t i = 0; i < n && i < 8; ++i) {
    if (cam->target.path != listed[i].path) continue;
    std::snprintf(info.location, sizeof info.location, "%s", listed[i].location);
    std::snprintf(info.serial, sizeof info.serial, "%s", listed[i].serial);
  }
  info.vendor_id = opened.vendorId;
  info.product_id = opened.productId;
  info.blank = 0;
  info.identification = word;
  info.colour = (word & TARNCAM_IDENTIFICATION_COLOUR_BIT) != 0 ? 1 : 0;
  info.simulated = cam->target.sim ? 1 : 0;
  info.open = 1;
  info.firmware_version = version;

  try {
    cam->worker = std::thread([c = cam.get()] { c->WorkerLoop(); });
  } catch (const std::system_error&) {
    return fail(TARNCAM_ERR_NO_MEMORY, 0, "no thread for the camera");
  }
  registry.PublishOpen(id, info);
  *out = std::move(cam);
  return Succeeded();
}

tarncam_camera::Call::Call(tarncam_camera& c) : cam(c) {
  std::lock_guard<std::mutex> lk(cam.mu);
  entered = !cam.closing;
  if (entered) ++cam.calls;
}

tarncam_camera::Call::~Call() {
  if (!entered) return;
  std::lock_guard<std::mutex> lk(cam.mu);
  if (--cam.calls == 0) cam.cv.notify_all();
}

const UsbResult& tarncam_camera::Noticed(const UsbResult& r) {
  if (r.status == UsbStatus::kNoDevice) gone.store(true, std::memory_order_release);
  return r;
}

tarncam_camera_info tarncam_camera::Info() {
  std::lock_guard<std::mutex> lk(mu);
  return info;
}

// ---------------------------------------------------------------------------
// Settings

tarncam_status tarncam_camera::SetControl(tarncam_control control, int64_t value) {
  if (RangeOf(control) == nullptr) {
    return Report(TARNCAM_ERR_INVALID_ARGUMENT, 0, "control %d: no such control", control);
  }
  if (!InRange(control, value)) {
    return Report(TARNCAM_ERR_OUT_OF_RANGE, 0, "control %d: %" PRId64, control, value);
  }
  if (Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "set control");
  std::lock_guard<std::mutex> lk(mu);
  settings.controls[control] = value;
  return Succeeded();
}

int64_t tarncam_camera::GetControl(tarncam_control control) {
  std::lock_guard<std::mutex> lk(mu);
  return settings.controls[control];
}

tarncam_status tarncam_camera::SetWindow(uint32_t width, uint32_t height) {
  if (!WindowFits(width, height)) {
    return Report(TARNCAM_ERR_OUT_OF_RANGE, 0, "window %ux%u", width, height);
  }
  if (Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "set window");
  std::lock_guard<std::mutex> lk(mu);
  settings.width = width;
  settings.height = height;
  return Succeeded();
}

tarncam_window tarncam_camera::Window() {
  std::lock_guard<std::mutex> lk(mu);
  return DescribeWindow(settings, info.colour == 1);
}

// ---------------------------------------------------------------------------
// Exposures

tarncam_status tarncam_camera::Start(void* buffer, size_t size, tarncam_frame_callback callback,
                                     void* user) {
  std::lock_guard<std::mutex> lk(mu);
  if (closing) return Report(TARNCAM_ERR_CLOSED, 0, "start exposure");
  if (Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "start exposure");
  if (running) return Report(TARNCAM_ERR_EXPOSING, 0, "start exposure");
  if (size < settings.FrameBytes()) {
    return Report(TARNCAM_ERR_INVALID_ARGUMENT, 0,
                  "start exposure: %zu bytes for a %" PRIu64 "-byte frame", size,
                  settings.FrameBytes());
  }
  job = Job{settings, static_cast<uint8_t*>(buffer), callback, user, ++started};
  stop.store(0, std::memory_order_release);
  running = true;
  jobPending = true;
  cv.notify_all();
  return Succeeded();
}

void tarncam_camera::WorkerLoop() {
  std::unique_lock<std::mutex> lk(mu);
  for (;;) {
    cv.wait(lk, [&] { return jobPending || workerExit; });
    if (!jobPending) return;
    const Job j = job;
    jobPending = false;
    lk.unlock();
    const tarncam_frame_record record = Expose(j);
    lk.lock();
    // The buffer is complete: waiters and the callback may have it.
    lastRecord = record;
    haveRecord = true;
    running = false;
    cv.notify_all();
    if (j.callback != nullptr) {
      lk.unlock();
      j.callback(this, &record, j.user);
      lk.lock();
    }
  }
}

tarncam_frame_record tarncam_camera::Expose(const Job& j) {
  SystemServices& sys = core.sys();
  const Settings& st = j.settings;
  const tarncam_window window = DescribeWindow(st, info.colour == 1);

  tarncam_frame_record r{};
  r.struct_size = sizeof r;
  r.sequence = j.sequence;
  r.exposure_ms = static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_EXPOSURE_MS));
  r.gain = static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_GAIN));
  r.offset = static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_OFFSET));
  r.bit_depth = static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_BIT_DEPTH));
  r.bytes_per_sample = window.bytes_per_sample;
  r.flip_horizontal = static_cast<int32_t>(st.Get(TARNCAM_CONTROL_FLIP_HORIZONTAL));
  r.flip_vertical = static_cast<int32_t>(st.Get(TARNCAM_CONTROL_FLIP_VERTICAL));
  r.width = window.width;
  r.height = window.height;
  r.x_origin = window.x_origin;
  r.y_origin = window.y_origin;
  r.first_colour = window.first_colour;
  std::memcpy(r.bayer_pattern, window.bayer_pattern, sizeof r.bayer_pattern);
  r.buffer = j.buffer;
  r.frame_bytes = window.frame_bytes;
  r.start_monotonic_ns = r.end_monotonic_ns = sys.MonotonicNs();
  r.start_utc_ns = r.end_utc_ns = sys.UtcNs();

  // The settings go to the camera with this exposure; only this thread
  // touches the core's record while it runs.
  ApplyToCore(st, *state);
  FrameReport report;
  UsbResult failure;
  {
    std::lock_guard<std::mutex> g(abortMu);
    reading = j.sequence;
  }
  if (stop.load(std::memory_order_acquire) == 0) {
    failure = Noticed(ProgramSensor(core, SettleAfterFailure::kSkip));
    if (failure.ok()) {
      ReadoutOptions o;
      o.stop = &stop;
      o.giveUpWhenGone = true;
      o.onlyReceivedRows = true;
      report = ReadFrameInto(core, j.buffer, o);
      Noticed(report.lastRead);
    }
  }
  {
    // From here on no abort or cancel aimed at this exposure goes out: the
    // next one may start its read as soon as this record is published.
    std::lock_guard<std::mutex> g(abortMu);
    reading = 0;
  }
  const FrameVerdict verdict = JudgeFrame(report, *state);
  // A retry's controller restart drops the sensor's settings; when sending
  // them again failed, the read after it got a frame of the camera's
  // power-on window, not of this one. It counts as nothing received.
  const bool unconfirmed = verdict.Read() && verdict.unconfirmed;
  if (!report.deviceOpen || unconfirmed) {
    // No read ran, or its frame is not this one: nothing of an earlier
    // frame (or of another window) may stand in the buffer.
    std::memset(j.buffer, 0, static_cast<size_t>(r.frame_bytes));
  }
  if (report.deviceOpen) {
    r.start_monotonic_ns = report.startMonoNs;
    r.end_monotonic_ns = report.endMonoNs;
    r.start_utc_ns = report.startUtcNs;
    r.end_utc_ns = report.endUtcNs;
  }
  r.reads_attempted = report.readsAttempted;
  r.reads_failed = report.readsFailed;
  r.rows_received = unconfirmed ? 0 : report.rowsReceived;
  if (report.lastRead.status == UsbStatus::kCancelled) {
    // Cancelled on our side, the camera may still hold the rest of its
    // frame (one that ignored the abort goes on sending): the next read
    // would take those rows for its own. A fresh register block makes the
    // camera drop them, so the settings go out again before the next read.
    state->forceResend = 1;
  }
  r.bytes_received = verdict.Delivered() ? report.bytesReceived : 0;

  const bool cancelled = stop.load(std::memory_order_acquire) != 0;
  r.outcome = RecordOutcome(verdict);
  if (r.outcome == TARNCAM_FRAME_COMPLETE) {
    r.status = TARNCAM_OK;
  } else if (r.outcome == TARNCAM_FRAME_SHORT) {
    r.status = cancelled ? TARNCAM_ERR_CANCELLED : TARNCAM_ERR_SHORT_FRAME;
  } else {
    const UsbResult why = !failure.ok() ? failure : verdict.cause;
    if (cancelled) {
      r.status = TARNCAM_ERR_CANCELLED;
    } else if (!why.ok()) {
      r.status = FromUsb(why.status);
      r.os_error = why.osError;
    } else {
      r.status = TARNCAM_ERR_NO_DEVICE;  // nothing was open to read from
    }
  }
  return r;
}

tarncam_status tarncam_camera::Wait(uint32_t timeoutMs, tarncam_frame_record* record) {
  std::unique_lock<std::mutex> lk(mu);
  if (started == 0) {
    if (Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "wait");
    return Report(TARNCAM_ERR_NO_EXPOSURE, 0, "wait");
  }
  const uint64_t target = started;
  const auto ended = [&] { return haveRecord && lastRecord.sequence >= target; };
  const auto over = [&] { return ended() || closing; };
  if (std::this_thread::get_id() == worker.get_id()) {
    // A callback waiting for the exposure it started would wait for itself.
    timeoutMs = 0;
  }
  if (timeoutMs == TARNCAM_WAIT_FOREVER) {
    cv.wait(lk, over);
  } else {
    cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), over);
  }
  if (!ended()) {
    if (closing) return Report(TARNCAM_ERR_CLOSED, 0, "wait");
    if (Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "wait for frame %" PRIu64, target);
    return Report(TARNCAM_ERR_WAIT_TIMEOUT, 0, "wait for frame %" PRIu64, target);
  }
  if (record != nullptr) FillVersioned(record, lastRecord);
  const tarncam_frame_record& r = lastRecord;
  // A camera known to be gone answers so, whatever the last record said
  // (it is filled all the same).
  if (Gone()) {
    return Report(TARNCAM_ERR_NO_DEVICE, 0, "wait: the camera has gone (frame %" PRIu64 ")",
                  r.sequence);
  }
  if (r.status == TARNCAM_OK) return Succeeded();
  return Report(static_cast<tarncam_status>(r.status), r.os_error,
                "frame %" PRIu64 " (%u of %u reads failed, %u of %u rows)", r.sequence,
                r.reads_failed, r.reads_attempted, r.rows_received, r.height);
}

template <typename Act>
void tarncam_camera::WhileReading(uint64_t target, Act act) {
  std::lock_guard<std::mutex> g(abortMu);
  if (reading == target) act();
}

void tarncam_camera::StopExposure() {
  uint64_t target = 0;
  {
    std::lock_guard<std::mutex> lk(mu);
    if (!running) return;
    target = started;
    stop.store(1, std::memory_order_release);
  }
  // A settle or controller restart in progress ends now.
  core.sys().WakeFlagWaiters(stop);
  // The camera ends its transfer short, with the rows it has sent; one that
  // ignores the abort is overruled by cancelling the transfer on our side,
  // once it has had a moment to answer. Both reach only the exposure aimed
  // at: one that has ended meanwhile is left alone, and so is the next.
  WhileReading(target, [&] { Noticed(SendAbort(core)); });
  if (std::this_thread::get_id() == worker.get_id()) return;
  const auto ended = [&] { return haveRecord && lastRecord.sequence >= target; };
  std::unique_lock<std::mutex> lk(mu);
  while (!cv.wait_for(lk, kCancelRepeat, ended)) {
    lk.unlock();
    WhileReading(target, [&] { CancelPendingTransfers(core); });
    lk.lock();
  }
}

tarncam_status tarncam_camera::Cancel() {
  StopExposure();
  if (Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "cancel");
  return Succeeded();
}

tarncam_status tarncam_camera::Close() {
  if (std::this_thread::get_id() == worker.get_id()) {
    return Report(TARNCAM_ERR_BUSY, 0, "close from the camera's own callback");
  }
  {
    std::lock_guard<std::mutex> lk(mu);
    closing = true;  // no call enters any more; waiters leave
  }
  cv.notify_all();
  StopExposure();
  {
    std::lock_guard<std::mutex> lk(mu);
    workerExit = true;
  }
  cv.notify_all();
  worker.join();
  {
    std::unique_lock<std::mutex> lk(mu);
    cv.wait(lk, [&] { return calls == 0; });
  }
  ReleaseCamera(core);
  Registry& registry = Registry::Instance();
  registry.ReleaseOpen(target.id);
  if (ownsSim) registry.RemoveSim(target.id);
  return Succeeded();
}

// ---------------------------------------------------------------------------
// Guide port

tarncam_status tarncam_camera::GuidePulse(uint32_t directions, int32_t xMs, int32_t yMs) {
  const uint16_t x = Bits(directions, kGuidePlusX | kGuideMinusX);
  const uint16_t y = Bits(directions, kGuidePlusY | kGuideMinusY);
  if (directions == 0 || (directions & ~0xFu) != 0 || x == (kGuidePlusX | kGuideMinusX) ||
      y == (kGuidePlusY | kGuideMinusY)) {
    return Report(TARNCAM_ERR_INVALID_ARGUMENT, 0, "guide pulse: directions 0x%X", directions);
  }
  const auto fits = [](int32_t ms) {
    return ms == TARNCAM_GUIDE_UNTIL_STOPPED || (ms >= 1 && ms <= TARNCAM_GUIDE_MAX_MS);
  };
  if ((x != 0 && !fits(xMs)) || (y != 0 && !fits(yMs))) {
    return Report(TARNCAM_ERR_OUT_OF_RANGE, 0, "guide pulse: %d ms, %d ms", xMs, yMs);
  }
  if (Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "guide pulse");
  // An axis not named gets no duration on the wire: the firmware looks only
  // at the axes the direction bits name.
  const UsbResult r = Noticed(
      SendGuidePulse(core, static_cast<uint16_t>(directions), x != 0 ? xMs : 0, y != 0 ? yMs : 0));
  if (!r.ok()) return ReportUsb(r, "guide pulse");
  std::lock_guard<std::mutex> lk(mu);
  guide.Started(static_cast<uint16_t>(directions), xMs, yMs, core.sys().MonotonicNs());
  return Succeeded();
}

tarncam_status tarncam_camera::GuideStop(uint32_t axes) {
  if (axes == 0 || (axes & ~(TARNCAM_GUIDE_AXIS_X | TARNCAM_GUIDE_AXIS_Y)) != 0) {
    return Report(TARNCAM_ERR_INVALID_ARGUMENT, 0, "guide stop: axes 0x%X", axes);
  }
  if (Gone()) return Report(TARNCAM_ERR_NO_DEVICE, 0, "guide stop");
  const bool x = (axes & TARNCAM_GUIDE_AXIS_X) != 0;
  const bool y = (axes & TARNCAM_GUIDE_AXIS_Y) != 0;
  const UsbResult r = Noticed(StopGuidePulses(core, x, y));
  if (!r.ok()) return ReportUsb(r, "guide stop");
  std::lock_guard<std::mutex> lk(mu);
  guide.Stopped(x, y);
  return Succeeded();
}

tarncam_guide_state tarncam_camera::GuideState() {
  const uint64_t now = core.sys().MonotonicNs();
  std::lock_guard<std::mutex> lk(mu);
  const GuideTracker::Axis x = guide.X(now);
  const GuideTracker::Axis y = guide.Y(now);
  tarncam_guide_state s{};
  s.struct_size = sizeof s;
  s.x_direction = x.direction;
  s.y_direction = y.direction;
  s.x_remaining_ms = x.remainingMs;
  s.y_remaining_ms = y.remainingMs;
  return s;
}
