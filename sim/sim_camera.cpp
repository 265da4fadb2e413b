#include "sim/sim_camera.h"

#include <semaphore.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <thread>

#include "sim/star_field.h"
#include "tarncam_build_config.h"
#include "usb/requests.h"

namespace sim {

using tarncam::Handle;
using tarncam::kInvalidHandle;
using tarncam::UsbResult;
using tarncam::UsbStatus;

namespace {

constexpr uint8_t kSerialIndex = 3;     // any nonzero index marks a programmed controller
constexpr uint64_t kGuideUnitUs = 100;  // the wire's guide durations count 0.1 ms

// The build's USB identity (placeholders of our own unless configured): one
// pair for the bare controller, one for the camera its firmware presents.
constexpr tarncam::UsbId kBlankId = tarncam::kBlankUsbId;
constexpr tarncam::UsbId kCameraId = tarncam::kCameraUsbId;

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

Options DefaultOptions() {
  Options o{};
  o.struct_size = sizeof(Options);
  o.colour = 0;
  o.scene = TARNCAM_SIM_SCENE_STARS;
  o.seed = 1;
  o.present = 1;
  o.renumerate_ms = 1500;
  o.firmware_version = tarncam::kExpectedFirmware;
  o.star_count = 40;
  o.star_brightness = 200000;
  o.sky_level = 200;
  o.read_noise = 6;
  o.seeing_px = 3.0;
  o.hot_pixels = 12;
  o.guide_rate = 0;  // from guide_rate_sidereal and the pixel scale
  o.fail_read_count = 1;
  o.focal_length_mm = 825;
  o.pixel_size_um = 6.0;
  o.guide_rate_sidereal = 0.5;
  o.pe_period_s = 480;
  o.fade_period_s = 60;
  o.fade_length_s = 15;
  return o;
}

bool ValidOptions(const Options& o) {
  auto prob = [](double p) { return p >= 0.0 && p <= 1.0; };  // false for NaN too
  // Levels stay finite and within what the frame arithmetic (single
  // precision) carries: NaN, infinities and 1e300 electrons are refused, not
  // rendered.
  auto level = [](double v, double most) { return std::isfinite(v) && v >= 0 && v <= most; };
  return (o.scene == TARNCAM_SIM_SCENE_STARS || o.scene == TARNCAM_SIM_SCENE_TEST_PATTERN) &&
         prob(o.read_fail_probability) && prob(o.read_timeout_probability) &&
         prob(o.short_read_probability) && prob(o.control_fail_probability) &&
         prob(o.disconnect_probability) && o.seeing_px >= 0.1 && o.seeing_px <= 20 &&
         level(o.star_brightness, kMaxStarBrightness) && level(o.sky_level, kMaxSkyLevel) &&
         level(o.read_noise, kMaxReadNoise) && std::isfinite(o.guide_rate) &&
         std::fabs(o.guide_rate) <= kMaxGuideRate && o.star_count <= 10000 &&
         o.hot_pixels <= kMaxHotPixels && ValidSky(o);
}

bool ValidSky(const Options& o) {
  auto within = [](double v, double lo, double hi) { return v >= lo && v <= hi; };  // NaN: false
  return within(o.focal_length_mm, 1, 1e5) && within(o.pixel_size_um, 0.1, 100) &&
         within(o.guide_rate_sidereal, 0, 10) && within(o.pe_amplitude_arcsec, 0, 3600) &&
         within(o.pe_period_s, 1, 1e6) && within(o.dec_drift_arcsec_per_s, -100, 100) &&
         within(o.jitter_arcsec, 0, 60) && o.dec_backlash_ms <= 60000 &&
         within(o.fade_depth, 0, 1) && within(o.fade_period_s, 1, 1e6) &&
         within(o.fade_length_s, 0, o.fade_period_s) && std::fabs(GuideRatePx(o)) <= kMaxGuideRate;
}

double ArcsecPerPixel(const Options& o) { return 206.264806 * o.pixel_size_um / o.focal_length_mm; }

double GuideRatePx(const Options& o) {
  if (o.guide_rate != 0) return o.guide_rate;
  return o.guide_rate_sidereal * kSiderealArcsecPerS / ArcsecPerPixel(o);
}

uint32_t IdWord(const Options& o) {
  if (o.id_word != 0) return o.id_word;
  return 0x00010254u | (o.colour != 0 ? TARNCAM_SIM_ID_COLOUR_BIT : 0u);
}

// Counts a call inside the camera; Shutdown waits for the count to drop to
// zero. Constructed and destroyed with `mu` held.
class SimCamera::CallGuard {
 public:
  explicit CallGuard(SimCamera& c) : cam(c) { ++cam.inFlight; }
  ~CallGuard() {
    if (--cam.inFlight == 0) cam.cv.notify_all();
  }

 private:
  SimCamera& cam;
};

SimCamera::SimCamera(const Options& options, Clock& c,
                     std::span<const tarncam::FirmwareRecord> image)
    : opts(options),
      clock(c),
      fx2(image, options.blank_controller == 0, options.stays_blank != 0),
      present(options.present != 0) {
  if (opts.scene == TARNCAM_SIM_SCENE_TEST_PATTERN) {
    generator = MakeTestPattern();
  } else {
    StarFieldConfig sc;
    sc.seed = opts.seed;
    sc.colour = opts.colour != 0;
    sc.starCount = opts.star_count;
    sc.brightness = opts.star_brightness;
    sc.skyLevel = opts.sky_level;
    sc.readNoise = opts.read_noise;
    sc.fwhmPx = opts.seeing_px;
    sc.hotPixels = opts.hot_pixels;
    auto field = std::make_unique<StarField>(sc);
    starField = field.get();
    generator = std::move(field);
  }
  guideRatePx = GuideRatePx(opts);
  axisY.backlashUs = uint64_t{opts.dec_backlash_ms} * 1000;
  originUs = clock.NowUs();
  // Held reads must notice virtual time moving past their timeout.
  waker = clock.AddWaker([this] {
    { std::lock_guard<std::mutex> g(mu); }
    cv.notify_all();
  });
}

SimCamera::~SimCamera() {
  Shutdown();
  clock.RemoveWaker(waker);
}

void SimCamera::Shutdown() {
  std::unique_lock<std::mutex> lk(mu);
  shutdown = true;
  cv.notify_all();
  cv.wait(lk, [this] { return inFlight == 0; });
}

// ---------------------------------------------------------------------------
// Presence and handles

void SimCamera::UpdatePresence(uint64_t now) {
  if (!present && backAtUs != kForever && backAtUs != 0 && now >= backAtUs) {
    present = true;
    backAtUs = 0;
  }
}

void SimCamera::GoAway(uint64_t now, uint64_t backAt, bool unplugged) {
  present = false;
  backAtUs = backAt;
  ++epoch;  // every handle opened so far is dead
  if (unplugged && opts.replug_blank != 0 && fx2.Programmed()) {
    // Without power the controller forgets its program and the sensor its
    // settings; it will come back blank.
    fx2.PowerLoss();
    sensor = PowerOnSettings();
    StopAxis(axisX, now);
    StopAxis(axisY, now);
    ++faults.blankReturns;
  }
  cv.notify_all();
}

void SimCamera::NoteUse(Handle h) {
  const auto it = handles.find(h);
  if (it != handles.end() && it->second.closed) ++faults.releasedHandleUses;
}

// A handle works only for the device it was opened on: once the device left
// the bus (a download, a disconnect) it stays dead even after the device is
// back, as a real USB stack's handles do.
SimCamera::HandleInfo* SimCamera::Live(Handle h, bool wantInterface) {
  if (shutdown) return nullptr;
  UpdatePresence(clock.NowUs());
  auto it = handles.find(h);
  if (it == handles.end()) return nullptr;
  HandleInfo& info = it->second;
  if (info.closed) ++faults.releasedHandleUses;
  if (info.closed || info.isInterface != wantInterface || info.epoch != epoch || !present)
    return nullptr;
  return &info;
}

bool SimCamera::FindFirstDevice(char* path, uint32_t capacity) {
  std::unique_lock<std::mutex> lk(mu);
  CallGuard g(*this);
  UpdatePresence(clock.NowUs());
  if (shutdown || !present || capacity == 0) return false;
  const size_t n = std::min<size_t>(capacity - 1, std::strlen(kPath));
  std::memcpy(path, kPath, n);
  path[n] = '\0';
  return true;
}

uint32_t SimCamera::ListDevices(tarncam::DeviceInfo* out, uint32_t capacity) {
  std::unique_lock<std::mutex> lk(mu);
  CallGuard g(*this);
  UpdatePresence(clock.NowUs());
  if (shutdown || !present) return 0;
  if (capacity >= 1) {
    tarncam::DeviceInfo& d = out[0];
    d = tarncam::DeviceInfo{};
    std::snprintf(d.path, sizeof d.path, "%s", kPath);
    std::snprintf(d.location, sizeof d.location, "simulator");
    const bool prog = fx2.Programmed();
    // A blank controller has no serial-number string.
    if (prog) std::snprintf(d.serial, sizeof d.serial, "SIM%08llX", static_cast<unsigned long long>(opts.seed));
    const tarncam::UsbId id = prog ? kCameraId : kBlankId;
    d.vendorId = id.vendor;
    d.productId = id.product;
    d.blank = prog ? 0 : 1;
  }
  return 1;
}

Handle SimCamera::Open(const char* path, UsbResult* why) {
  std::unique_lock<std::mutex> lk(mu);
  CallGuard g(*this);
  UpdatePresence(clock.NowUs());
  if (shutdown || !present || path == nullptr || std::strcmp(path, kPath) != 0) {
    if (why != nullptr) *why = UsbResult::Fail(UsbStatus::kNoDevice);
    return kInvalidHandle;
  }
  const Handle h = nextHandle++;
  handles[h] = HandleInfo{epoch, false};
  if (why != nullptr) *why = UsbResult::Ok();
  return h;
}

UsbResult SimCamera::ClaimInterface(Handle device, Handle* usb) {
  std::function<void()> hook;
  {
    std::unique_lock<std::mutex> lk(mu);
    CallGuard g(*this);
    if (Live(device, false) == nullptr || usb == nullptr)
      return UsbResult::Fail(UsbStatus::kNoDevice);
    // The interface is the claimer's alone until released, as the system
    // keeps it for libusb: a second claim meanwhile is refused.
    for (const auto& [other, info] : handles)
      if (info.isInterface && !info.closed && info.epoch == epoch)
        return UsbResult::Fail(UsbStatus::kBusy);
    const Handle h = nextHandle++;
    handles[h] = HandleInfo{epoch, true};
    *usb = h;
    stallRecovery = false;  // a setting of the claim, as libusb keeps it
    hook = claimHook;
  }
  if (hook) hook();
  return UsbResult::Ok();
}

void SimCamera::OnClaim(std::function<void()> hook) {
  std::lock_guard<std::mutex> g(mu);
  claimHook = std::move(hook);
}

void SimCamera::OnWrite(std::function<void()> hook) {
  std::lock_guard<std::mutex> g(mu);
  writeHook = std::move(hook);
}

void SimCamera::Close(Handle device, Handle usb) {
  std::unique_lock<std::mutex> lk(mu);
  CallGuard g(*this);
  // Released handles stay known, so that a later use of one is counted.
  auto release = [this](Handle h, bool isInterface) {
    auto it = handles.find(h);
    if (it == handles.end() || it->second.isInterface != isInterface) return;
    if (it->second.closed) ++faults.releasedHandleUses;  // released twice
    it->second.closed = true;
  };
  release(usb, true);
  release(device, false);
  cv.notify_all();  // a read pending on the interface ends
}

UsbResult SimCamera::EnableStallRecovery(Handle usb, uint8_t pipe) {
  std::unique_lock<std::mutex> lk(mu);
  CallGuard g(*this);
  if (Live(usb, true) == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
  if (pipe != tarncam::kPipeIn && pipe != tarncam::kPipeOut) return UsbResult::Fail(UsbStatus::kStall);
  if (pipe == tarncam::kPipeIn) {
    stallRecovery = true;
    inHalted = false;
  }
  return UsbResult::Ok();
}

void SimCamera::ShapeNextRead(NextRead shape) {
  std::lock_guard<std::mutex> g(mu);
  nextRead = shape;
}

UsbResult SimCamera::SetTransferTimeout(Handle usb, uint8_t pipe, uint32_t ms) {
  std::unique_lock<std::mutex> lk(mu);
  CallGuard g(*this);
  HandleInfo* h = Live(usb, true);
  if (h == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
  if (pipe != tarncam::kPipeIn && pipe != tarncam::kPipeOut) return UsbResult::Fail(UsbStatus::kStall);
  if (pipe == tarncam::kPipeIn) h->timeoutMs = ms;
  return UsbResult::Ok();
}

void SimCamera::CancelTransfers(Handle usb) {
  std::lock_guard<std::mutex> g(mu);
  NoteUse(usb);
  if (readPending) {
    readCancelled = usb;
    cv.notify_all();
  }
}

void SimCamera::CancelForClose(Handle usb) {
  {
    std::lock_guard<std::mutex> g(mu);
    const auto it = handles.find(usb);
    if (it != handles.end() && it->second.isInterface) it->second.bulkRefused = true;
  }
  CancelTransfers(usb);
}

// ---------------------------------------------------------------------------
// Control requests

double SimCamera::Chance(uint64_t number, uint64_t kind) const {
  // A pure function of seed, number and kind: the same fault hits the same
  // read in every run, whatever the threads do.
  const uint64_t h = Mix(opts.seed * 0x9E3779B97F4A7C15ull ^ Mix(number * 8 + kind));
  return (h >> 11) * (1.0 / 9007199254740992.0);
}

// Control transfers are numbered in the order they reach a live interface,
// which is what the numbered control fault counts.
UsbResult SimCamera::ControlTransfer(Handle usb, const tarncam::SetupPacket& setup, uint8_t* data,
                                     uint32_t length) {
  std::unique_lock<std::mutex> lk(mu);
  CallGuard g(*this);
  if (Live(usb, true) == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
  if (length != setup.length || (length != 0 && data == nullptr))
    return UsbResult::Fail(UsbStatus::kIo);
  const uint64_t n = ++controlNumber;
  ++stats.control_transfers;
  if (n == opts.fail_control_number ||
      (opts.control_fail_probability > 0 && Chance(n, 4) < opts.control_fail_probability)) {
    ++faults.controlFailed;
    return UsbResult::Fail(UsbStatus::kIo);
  }
  // What the camera refuses, it stalls.
  return ControlLocked(setup, data, length, clock.NowUs()) ? UsbResult::Ok()
                                                            : UsbResult::Fail(UsbStatus::kStall);
}

bool SimCamera::ControlLocked(const tarncam::SetupPacket& setup, uint8_t* data, uint32_t length,
                              uint64_t now) {
  using namespace tarncam;
  const bool in = setup.requestType == kVendorIn;
  const bool out = setup.requestType == kVendorOut;

  if (setup.requestType == kStandardIn && setup.request == kReqGetDescriptor &&
      setup.value == kDeviceDescriptorValue) {
    const bool prog = fx2.Programmed();
    const tarncam::UsbId id = prog ? kCameraId : kBlankId;
    const uint8_t d[kDeviceDescriptorLength] = {18,
                                                1,
                                                0x00,
                                                0x02,
                                                0xFF,
                                                0xFF,
                                                0xFF,
                                                64,
                                                static_cast<uint8_t>(id.vendor),
                                                static_cast<uint8_t>(id.vendor >> 8),
                                                static_cast<uint8_t>(id.product),
                                                static_cast<uint8_t>(id.product >> 8),
                                                0x00,
                                                0x01,
                                                static_cast<uint8_t>(prog ? 1 : 0),
                                                static_cast<uint8_t>(prog ? 2 : 0),
                                                static_cast<uint8_t>(prog ? kSerialIndex : 0),
                                                1};
    // A host may ask for no bytes at all; then there is no buffer to fill.
    if (length != 0) std::memcpy(data, d, std::min<uint32_t>(length, sizeof d));
    return true;
  }

  // The loader is in silicon: it answers with or without a program.
  if (out && setup.request == kReqFirmwareLoad) {
    if (length < 1 || length > 16) return false;
    switch (fx2.Write(setup.value, data, length)) {
      case Fx2Model::Release::kRestart:
        // The program starts over: the sensor falls back to its power-on
        // settings and the guide port goes quiet.
        sensor = PowerOnSettings();
        StopAxis(axisX, now);
        StopAxis(axisY, now);
        break;
      case Fx2Model::Release::kRenumerate:
        ++stats.firmware_downloads;
        sensor = PowerOnSettings();
        StopAxis(axisX, now);
        StopAxis(axisY, now);
        GoAway(now, now + uint64_t{opts.renumerate_ms} * 1000);
        break;
      case Fx2Model::Release::kNone:
        break;
    }
    return true;
  }

  // Everything else is the camera's firmware talking: a blank or held
  // controller stalls.
  if (!fx2.Running()) return false;

  switch (setup.request) {
    case kReqQuery: {
      if (!in || length != 4) return false;
      if (setup.index != kVersionQuery || opts.version_no_answer != 0) return false;
      const uint32_t v = opts.firmware_version;
      for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(v >> (8 * i));
      return true;
    }
    case kReqIdentify: {
      if (!in || length != 1 || setup.index < 1 || setup.index > 4) return false;
      data[0] = static_cast<uint8_t>(IdWord(opts) >> (8 * (setup.index - 1)));
      return true;
    }
    case kReqSetRegister:
      if (!out || length != 0) return false;
      registers.emplace_back(setup.index, setup.value);
      return true;
    case kReqReset:
      if (!out || length != 1 || data[0] != kReqReset) return false;
      ++resets;
      return true;
    case kReqProgram:
      if (!out || length != 64) return false;
      sensor = DecodeBlock(data, setup.value, setup.index);
      ++stats.programmings;
      return true;
    case kReqGuide: {
      if (!out || length != 8) return false;
      marks.guideUs = now;
      int32_t dx = 0, dy = 0;
      std::memcpy(&dx, data, 4);  // little-endian host
      std::memcpy(&dy, data + 4, 4);
      auto axisSign = [](uint16_t dir, uint16_t plus, uint16_t minus) {
        const bool p = (dir & plus) != 0, m = (dir & minus) != 0;
        return p && m ? 2 : p ? 1 : m ? -1 : 0;  // 2: both bits, a stop
      };
      const int sx = axisSign(setup.index, TARNCAM_SIM_GUIDE_PLUS_X, TARNCAM_SIM_GUIDE_MINUS_X);
      const int sy = axisSign(setup.index, TARNCAM_SIM_GUIDE_PLUS_Y, TARNCAM_SIM_GUIDE_MINUS_Y);
      if (sx == 2)
        StopAxis(axisX, now);
      else if (sx != 0)
        StartPulse(axisX, sx, dx, now);
      if (sy == 2)
        StopAxis(axisY, now);
      else if (sy != 0)
        StartPulse(axisY, sy, dy, now);
      return true;
    }
    case kReqGuideStopBoth:
    case kReqGuideStopFirst:
    case kReqGuideStopSecond:
      if (!in || length != 2) return false;
      if (setup.request != kReqGuideStopSecond) StopAxis(axisX, now);
      if (setup.request != kReqGuideStopFirst) StopAxis(axisY, now);
      data[0] = 1;  // acknowledged
      data[1] = 0;
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Guide port

double SimCamera::AxisOffset(const Axis& a, uint64_t t) const {
  if (a.sign == 0) return a.acc;
  const uint64_t end = std::min(t, a.endUs);
  // The first part of a pulse may only take up gear play.
  const uint64_t moving = a.startUs + a.slackUs;
  const double s = end > moving ? (end - moving) / 1e6 : 0.0;
  return a.acc + a.sign * guideRatePx * s;
}

void SimCamera::StopAxis(Axis& a, uint64_t now) {
  if (a.sign != 0) {
    const uint64_t end = std::min(now, a.endUs);
    const uint64_t ran = end > a.startUs ? end - a.startUs : 0;
    const uint64_t taken = std::min(ran, a.slackUs);
    a.play = a.sign > 0 ? a.play + taken : a.play - taken;
  }
  a.acc = AxisOffset(a, now);
  a.sign = 0;
}

void SimCamera::StartPulse(Axis& a, int sign, int32_t duration, uint64_t now) {
  // A new pulse replaces the running one; negative durations other than
  // "until cancelled" move nothing.
  StopAxis(a, now);
  if (duration == -1) {
    a.endUs = kForever;
  } else if (duration > 0) {
    a.endUs = now + static_cast<uint64_t>(duration) * kGuideUnitUs;
  } else {
    return;
  }
  a.sign = sign;
  a.startUs = now;
  // The play (0 .. backlash) is where the gears sit between their two
  // contacts; a pulse drives the mount only once it has closed the gap on
  // its side.
  a.slackUs = sign > 0 ? a.backlashUs - a.play : a.play;
}

SimCamera::Offset SimCamera::MountOffset(uint64_t t) const {
  // Time on the camera's clock since it was made: every frame, whoever
  // takes it, sees the one mount.
  const double s = t > originUs ? (t - originUs) / 1e6 : 0.0;
  const double scale = ArcsecPerPixel(opts);
  Offset o{AxisOffset(axisX, t), AxisOffset(axisY, t)};
  if (opts.pe_amplitude_arcsec != 0) {
    o.x += opts.pe_amplitude_arcsec * std::sin(2 * std::numbers::pi * s / opts.pe_period_s) / scale;
  }
  o.y += opts.dec_drift_arcsec_per_s * s / scale;
  return o;
}

double SimCamera::Transparency(uint64_t t) const {
  if (opts.fade_depth == 0 || opts.fade_length_s == 0) return 1.0;
  // A cloud: a raised cosine of fade_length_s at the end of each period.
  const double s = t > originUs ? (t - originUs) / 1e6 : 0.0;
  const double into = std::fmod(s, opts.fade_period_s) - (opts.fade_period_s - opts.fade_length_s);
  if (into <= 0) return 1.0;
  const double bump = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * into / opts.fade_length_s);
  return 1.0 - opts.fade_depth * bump;
}

// ---------------------------------------------------------------------------
// Bulk pipes

uint64_t SimCamera::Render(uint8_t* dst, uint64_t length, const SensorSettings& s,
                           uint64_t frameNumber, uint64_t lightStartUs, uint64_t lightEndUs) {
  FrameConditions c;
  c.sensor = s;
  c.exposureS = s.ExposureUs() / 1e6;
  const Offset end = MountOffset(lightEndUs);
  c.offsetX = end.x;
  c.offsetY = end.y;
  c.transparency = Transparency(lightEndUs);
  // Where the mount pointed during the light: a star moving more than a
  // fraction of a pixel is drawn as a trail of equal parts.
  constexpr int kProbe = 32;
  double path = 0;
  Offset last = MountOffset(lightStartUs);
  for (int i = 1; i <= kProbe && lightEndUs > lightStartUs; ++i) {
    const Offset o = MountOffset(lightStartUs + (lightEndUs - lightStartUs) * i / kProbe);
    path += std::hypot(o.x - last.x, o.y - last.y);
    last = o;
  }
  if (path > 0.05) {
    const int parts = std::clamp(static_cast<int>(std::ceil(path / 0.25)), 2, 64);
    for (int i = 0; i < parts; ++i) {
      const Offset o =
          MountOffset(lightStartUs + (lightEndUs - lightStartUs) * (2 * i + 1) / (2 * parts));
      c.path.push_back({o.x, o.y});
    }
  }
  if (opts.jitter_arcsec > 0) {
    // Seeing moves the whole frame's stars together, differently each frame.
    const double sigma = opts.jitter_arcsec / ArcsecPerPixel(opts);
    const uint64_t a = Mix(opts.seed ^ (frameNumber * 0x9E3779B97F4A7C15ull) ^ 0x51ull);
    const uint64_t b = Mix(a + 1);
    const double u1 = std::max((a >> 11) * 0x1.0p-53, 1e-300), u2 = (b >> 11) * 0x1.0p-53;
    const double r = sigma * std::sqrt(-2.0 * std::log(u1));
    const double jx = r * std::cos(2 * std::numbers::pi * u2);
    const double jy = r * std::sin(2 * std::numbers::pi * u2);
    c.offsetX += jx;
    c.offsetY += jy;
    for (auto& p : c.path) {
      p.first += jx;
      p.second += jy;
    }
  }
  c.frameNumber = frameNumber;
  generator->Configure(c);
  return generator->Generate(dst, length);
}

UsbResult SimCamera::ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                              uint32_t* transferred) {
  std::unique_lock<std::mutex> lk(mu);
  CallGuard g(*this);
  if (transferred != nullptr) *transferred = 0;
  HandleInfo* h = Live(usb, true);
  if (h == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
  if (h->bulkRefused) return UsbResult::Fail(UsbStatus::kCancelled);
  if (pipe != tarncam::kPipeIn || buffer == nullptr) return UsbResult::Fail(UsbStatus::kIo);
  // A halted pipe refuses every transfer until it is cleared.
  if (inHalted) return UsbResult::Fail(UsbStatus::kStall);
  const NextRead shape = nextRead;
  nextRead = NextRead::kNormal;
  // The exposure starts when the read arrives (the firmware takes a picture
  // per request) and uses the settings in force at that moment: a block that
  // arrives meanwhile applies to the next frame.
  const uint64_t start = clock.NowUs();
  const uint64_t timeoutAt = h->timeoutMs != 0 ? start + uint64_t{h->timeoutMs} * 1000 : kForever;
  const uint64_t readNo = ++stats.reads;
  marks.readUs = start;
  const SensorSettings s = sensor;
  const uint64_t exposureUs = s.ExposureUs();
  const uint64_t doneAt = start + exposureUs + s.TransferUs();

  const bool failRead =
      (opts.fail_read_number != 0 && readNo >= opts.fail_read_number &&
       readNo < uint64_t{opts.fail_read_number} + std::max<uint32_t>(opts.fail_read_count, 1)) ||
      (opts.read_fail_probability > 0 && Chance(readNo, 1) < opts.read_fail_probability);
  // Without its program the controller sends no frames: the read runs into
  // its timeout.
  const bool timesOut =
      !fx2.Running() || readNo == opts.timeout_read_number ||
      (opts.read_timeout_probability > 0 && Chance(readNo, 2) < opts.read_timeout_probability);
  const bool shortRead =
      shape == NextRead::kShort || readNo == opts.short_read_number ||
      (opts.short_read_probability > 0 && Chance(readNo, 3) < opts.short_read_probability);
  // The cable is pulled halfway through the light.
  const bool disconnect =
      readNo == opts.disconnect_read_number ||
      (opts.disconnect_probability > 0 && Chance(readNo, 5) < opts.disconnect_probability);
  const uint64_t disconnectAt = disconnect ? start + exposureUs / 2 : kForever;
  const uint64_t completeAt = timesOut ? kForever : doneAt;

  // The read ends early when it is aborted or its device or interface goes
  // away; a device that left the bus shows as a changed epoch.
  const uint64_t readEpoch = epoch;
  const bool held = holdReads;
  readPending = true;
  readAborted = false;
  readReleased = false;
  readCancelled = kInvalidHandle;
  cv.notify_all();

  auto released = [&] {
    const auto it = handles.find(usb);
    return it == handles.end() || it->second.closed;
  };
  auto ended = [&] {
    return readAborted || readCancelled == usb || shutdown || epoch != readEpoch || released() ||
           (held && readReleased);
  };
  // A held read waits for its release; otherwise it waits for its frame.
  const uint64_t until = std::min({held ? kForever : completeAt, timeoutAt, disconnectAt});
  clock.WaitUntil(lk, cv, until, ended, held);
  readPending = false;
  const uint64_t now = clock.NowUs();

  if (shutdown || epoch != readEpoch) return UsbResult::Fail(UsbStatus::kNoDevice);
  // The camera answers an abort by ending the transfer: a host-side cancel
  // or close arriving after that finds the transfer already complete.
  if (readAborted) {
    readCancelled = kInvalidHandle;
    // The abort ends the transfer short: whatever rows were already sent.
    ++stats.aborts;
    uint64_t bytes = 0;
    const uint64_t lightEnd = start + exposureUs;
    if (now > lightEnd && s.TransferUs() > 0) {
      const double part = std::min(1.0, double(now - lightEnd) / double(s.TransferUs()));
      const uint64_t rowBytes = uint64_t{s.RowPitch()} * s.BytesPerSample();
      bytes = static_cast<uint64_t>(part * s.Rows()) * rowBytes;
    }
    bytes = std::min<uint64_t>({bytes, length, s.FrameBytes()});
    if (bytes != 0) Render(buffer, bytes, s, readNo, start, std::min(now, lightEnd));
    if (transferred != nullptr) *transferred = static_cast<uint32_t>(bytes);
    return UsbResult::Ok();
  }
  if (readCancelled == usb || released()) {
    readCancelled = kInvalidHandle;
    return UsbResult::Fail(UsbStatus::kCancelled);
  }
  if (disconnectAt != kForever && now >= disconnectAt) {
    // Unplugged mid-exposure: the transfer dies with the device.
    ++faults.disconnects;
    GoAway(now, opts.replug_ms != 0 ? now + uint64_t{opts.replug_ms} * 1000 : kForever, true);
    return UsbResult::Fail(UsbStatus::kNoDevice);
  }
  const bool complete = held ? readReleased : (completeAt != kForever && now >= completeAt);
  if (!complete) {
    ++faults.readsTimedOut;
    return UsbResult::Fail(UsbStatus::kTimeout);
  }
  if (failRead) {
    ++faults.readsFailed;
    return UsbResult::Fail(UsbStatus::kIo);  // a transfer error at the end of the frame
  }
  if (shape == NextRead::kStall) {
    if (!stallRecovery) inHalted = true;
    return UsbResult::Fail(UsbStatus::kStall);
  }
  if (shape == NextRead::kZeroLength) return UsbResult::Ok();

  // The camera sends its frame in 512-byte packets; a host asking for more
  // than the frame gets a short transfer, as with a setting that was stored
  // but never sent. Asking for less, the transfer fills the buffer; where
  // that ends inside a packet, the packet does not fit: the transfer
  // overflows with the whole packets before it, as on the bus.
  constexpr uint32_t kPacket = 512;
  if (s.FrameBytes() > length && length % kPacket != 0) {
    const uint32_t whole = length - length % kPacket;
    if (whole != 0) Render(buffer, whole, s, readNo, start, std::min(now, start + exposureUs));
    if (transferred != nullptr) *transferred = whole;
    return UsbResult::Fail(UsbStatus::kOverflow);
  }
  uint64_t bytes = std::min<uint64_t>(length, s.FrameBytes());
  if (shortRead) {
    ++faults.readsShort;
    const uint64_t rowBytes = uint64_t{s.RowPitch()} * s.BytesPerSample();
    bytes = std::min<uint64_t>(bytes, s.Rows() / 2 * rowBytes);
  }
  // The scene as it stood when the light ended, not when the last byte left.
  bytes = Render(buffer, bytes, s, readNo, start, std::min(now, start + exposureUs));
  if (bytes == s.FrameBytes()) ++stats.frames;
  if (transferred != nullptr) *transferred = static_cast<uint32_t>(bytes);
  return UsbResult::Ok();
}

UsbResult SimCamera::WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                               uint32_t* transferred) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> g(mu);
    hook = writeHook;
  }
  if (hook) hook();
  std::unique_lock<std::mutex> lk(mu);
  CallGuard g(*this);
  if (transferred != nullptr) *transferred = 0;
  HandleInfo* h = Live(usb, true);
  if (h == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
  if (h->bulkRefused) return UsbResult::Fail(UsbStatus::kCancelled);
  if (pipe != tarncam::kPipeOut || buffer == nullptr) return UsbResult::Fail(UsbStatus::kIo);
  for (uint32_t i = 0; i < length; ++i) {
    // The abort ends the pending read; with none pending it is ignored. A
    // camera that ignores aborts lets the read run on to its frame or its
    // timeout.
    if (buffer[i] == tarncam::kAbortByte && readPending) {
      if (opts.ignore_abort != 0) {
        ++stats.aborts;
        continue;
      }
      readAborted = true;
      cv.notify_all();
    }
  }
  if (transferred != nullptr) *transferred = length;
  return UsbResult::Ok();
}

// ---------------------------------------------------------------------------
// Controls

void SimCamera::HoldReads(bool hold) {
  std::lock_guard<std::mutex> g(mu);
  holdReads = hold;
}

void SimCamera::ReleaseRead() {
  std::lock_guard<std::mutex> g(mu);
  readReleased = true;
  cv.notify_all();
}

bool SimCamera::WaitForPendingRead(uint64_t readNumber, int timeoutMs) {
  std::unique_lock<std::mutex> lk(mu);
  return cv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                     [&] { return readPending && stats.reads >= readNumber; });
}

void SimCamera::SetPresent(bool on) {
  std::lock_guard<std::mutex> g(mu);
  if (on) {
    present = true;
    backAtUs = 0;
  } else if (present) {
    ++faults.unplugs;
    GoAway(clock.NowUs(), kForever, true);
  }
}

uint64_t SimCamera::PeekFrame(uint8_t* dst, uint64_t length) {
  std::lock_guard<std::mutex> g(mu);
  UpdatePresence(clock.NowUs());
  if (shutdown || !present || !fx2.Running()) return 0;
  const SensorSettings s = sensor;
  // Numbered as the read that will take it, so its noise is that frame's.
  const uint64_t now = clock.NowUs();
  Render(dst, std::min(length, s.FrameBytes()), s, stats.reads + 1, now, now);
  return s.FrameBytes();
}

tarncam_sim_stats SimCamera::Stats() const {
  std::lock_guard<std::mutex> g(mu);
  tarncam_sim_stats s = stats;
  const uint64_t now = clock.NowUs();
  const Offset mount = MountOffset(now);
  s.guide_offset_x = mount.x;
  s.guide_offset_y = mount.y;
  s.programmed = fx2.Programmed() ? 1 : 0;
  const bool back = !present && backAtUs != 0 && backAtUs != kForever && now >= backAtUs;
  s.present = present || back ? 1 : 0;
  return s;
}

SimCamera::Marks SimCamera::TimingMarks() const {
  std::lock_guard<std::mutex> g(mu);
  return marks;
}

FaultCounts SimCamera::Faults() const {
  std::lock_guard<std::mutex> g(mu);
  return faults;
}

int SimCamera::OpenHandles() const {
  std::lock_guard<std::mutex> g(mu);
  int n = 0;
  for (const auto& [h, info] : handles) n += info.closed ? 0 : 1;
  return n;
}

SensorSettings SimCamera::Sensor() const {
  std::lock_guard<std::mutex> g(mu);
  return sensor;
}

uint32_t SimCamera::PipeTimeoutMs() const {
  std::lock_guard<std::mutex> g(mu);
  uint32_t ms = 0;
  for (const auto& [h, info] : handles)
    if (info.isInterface && !info.closed && info.epoch == epoch) ms = info.timeoutMs;
  return ms;
}

uint32_t SimCamera::ControllerByte(uint16_t address) const {
  std::lock_guard<std::mutex> g(mu);
  return fx2.Peek(address);
}

const StarField* SimCamera::Stars() const { return starField; }

std::vector<std::pair<uint16_t, uint16_t>> SimCamera::Registers() const {
  std::lock_guard<std::mutex> g(mu);
  return registers;
}

uint64_t SimCamera::Resets() const {
  std::lock_guard<std::mutex> g(mu);
  return resets;
}

// ---------------------------------------------------------------------------
// SimSystem

SimSystem::SimSystem(Clock& c) : clock(c) {
  // Flag waits end when others move virtual time past them. Only they need
  // the wake: every sleep moves the clock, and waking the threads that wait
  // for workers on each would only reshuffle the threads under test.
  waker = clock.AddWaker([this] {
    std::lock_guard<std::mutex> g(mu);
    if (flagWaiters > 0 || heldSleeps > 0) cv.notify_all();
  });
}

SimSystem::~SimSystem() { clock.RemoveWaker(waker); }

uint64_t SimSystem::MonotonicNs() { return clock.NowUs() * 1000; }

int64_t SimSystem::UtcNs() { return kUtcOriginNs + static_cast<int64_t>(clock.NowUs()) * 1000; }

bool SimSystem::WaitForZero(const std::atomic<uint32_t>& flag, uint32_t timeoutMs) {
  constexpr auto kRealBound = std::chrono::seconds(30);
  const uint64_t endUs = clock.NowUs() + uint64_t{timeoutMs} * 1000;
  std::unique_lock<std::mutex> lk(mu);
  ++flagWaiters;
  cv.notify_all();
  const auto clear = [&] { return flag.load(std::memory_order_acquire) == 0; };
  cv.wait_for(lk, kRealBound, [&] { return clear() || clock.NowUs() >= endUs; });
  --flagWaiters;
  return clear();
}

void SimSystem::WakeFlagWaiters(const std::atomic<uint32_t>&) {
  { std::lock_guard<std::mutex> g(mu); }
  cv.notify_all();
}

bool SimSystem::WaitForFlagWaiters(int n, int timeoutMs) {
  std::unique_lock<std::mutex> lk(mu);
  return cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return flagWaiters >= n; });
}

bool SimSystem::SleepUnless(const std::atomic<uint32_t>& stop, uint32_t ms) {
  constexpr auto kRealBound = std::chrono::seconds(30);
  const auto stopped = [&] { return stop.load(std::memory_order_acquire) != 0; };
  std::unique_lock<std::mutex> lk(mu);
  if (stopped()) return true;
  if (!holdSleeps) {
    slept += ms;
    lk.unlock();
    clock.Sleep(uint64_t{ms} * 1000);
    return stopped();
  }
  const uint64_t startUs = clock.NowUs();
  const uint64_t endUs = startUs + uint64_t{ms} * 1000;
  ++heldSleeps;
  ++heldSleepsBegun;
  cv.notify_all();
  cv.wait_for(lk, kRealBound, [&] { return stopped() || clock.NowUs() >= endUs; });
  --heldSleeps;
  slept += (std::min(clock.NowUs(), endUs) - startUs) / 1000;
  return stopped();
}

void SimSystem::HoldSleeps(bool hold) {
  std::lock_guard<std::mutex> g(mu);
  holdSleeps = hold;
}

bool SimSystem::WaitForHeldSleeps(int n, int timeoutMs) {
  std::unique_lock<std::mutex> lk(mu);
  return cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return heldSleepsBegun >= n; });
}

void SimSystem::SleepAlertable(uint32_t ms) {
  {
    std::lock_guard<std::mutex> g(mu);
    slept += ms;
  }
  clock.Sleep(uint64_t{ms} * 1000);
}

std::uintptr_t SimSystem::StartWorker(ThreadEntry entry, uint32_t, void* arg) {
  int token = 0;
  {
    std::lock_guard<std::mutex> g(mu);
    token = ++started;
  }
  std::thread([this, entry, arg] {
    entry(arg);
    std::lock_guard<std::mutex> g(mu);
    ++finished;
    cv.notify_all();
  }).detach();
  return static_cast<std::uintptr_t>(token);
}

uint32_t SimSystem::SignalSemaphore(tarncam::Handle semaphore) {
  if (semaphore == 0) return 0;
  return sem_post(reinterpret_cast<sem_t*>(semaphore)) == 0 ? 1 : 0;
}

void SimSystem::ShowMessage(const char* text, const char* caption) {
  std::lock_guard<std::mutex> g(mu);
  messages.push_back(std::string(caption) + ": " + text);
}

bool SimSystem::WaitForWorkers(int n, int timeoutMs) {
  std::unique_lock<std::mutex> lk(mu);
  return cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return finished >= n; });
}

int SimSystem::WorkersStarted() const {
  std::lock_guard<std::mutex> g(mu);
  return started;
}

std::vector<std::string> SimSystem::Messages() const {
  std::lock_guard<std::mutex> g(mu);
  return messages;
}

uint64_t SimSystem::SleptMs() const {
  std::lock_guard<std::mutex> g(mu);
  return slept;
}

}  // namespace sim
