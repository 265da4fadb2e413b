// End-to-end run of the unmodified TARNCAM32.dll under Wine against the
// simulated camera, through the 36 exports only: the DLL's real Win32
// backend (device-setup services, CreateFileA, WinUSB, _beginthread,
// ReleaseSemaphore, SleepEx) talks to the stand-in winusb.dll and
// setupapi.dll placed beside this program, which check every argument the
// DLL passes and report what they saw through their extra exports.
//
// Scenarios run in sequence on one loaded DLL, as an application would use
// it: no camera; a device that cannot be opened; a blank controller that
// takes its firmware and comes back (in time, and too late); a programmed
// one; inline and threaded exposures at 8 and 10 bits over four windows,
// byte-exact against the simulator's test pattern; every GETBUFFER mode on a
// delivered frame; guide pulses moving the simulated stars; cancel and close
// during an exposure; reads that fail or time out, recovered through the
// controller reset and retry; a short read; a camera unplugged during an
// exposure. The DLL's waits are real here (5 s after a firmware download,
// 3.5 s per retry, 0.5 s per programming), so exposures are kept short and
// the retry cases few.
//
// Prints one line per check and a final "N passed, M failed"; exits nonzero
// on any failure.

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "sim/win32/winsim.h"

static_assert(sizeof(void*) == 4, "the probe is a 32-bit program");

namespace {

constexpr char kDllName[] = "TARNCAM32.dll";
constexpr uint32_t kExpectedFirmware = 0x0132901D;
constexpr uint32_t kMonoIdWord = 0x00010254;  // the simulator's identification bytes
constexpr uint32_t kThreadStartFailed = 0xFFFFFFFF;
constexpr uint32_t kFullWidth = 752;
constexpr uint32_t kFullHeight = 480;
constexpr uint32_t kFullSamples = kFullWidth * kFullHeight;
constexpr uint32_t kExposureMs = 10;
constexpr uint32_t kGain = 10;
// Bounds on real waits: generous, they only stop a hung run.
constexpr DWORD kFrameWaitMs = 10000;
constexpr DWORD kRetryWaitMs = 20000;

// The simulator's guide directions (bits of GuideCommandXY's first argument).
constexpr uint32_t kPlusX = 0x1, kMinusX = 0x2, kPlusY = 0x4;

using W = uint32_t;
using Fn0 = W(__stdcall*)();
using Fn1 = W(__stdcall*)(W);
using Fn2 = W(__stdcall*)(W, W);
using Fn3 = W(__stdcall*)(W, W, W);
using Fn4 = W(__stdcall*)(W, W, W, W);

W Word(const void* p) { return static_cast<W>(reinterpret_cast<uintptr_t>(p)); }

// The exports, by the exact strings a client resolves.
struct Api {
  Fn1 ADCRef;
  Fn0 CameraReset, CancelExposure;
  Fn2 CancelGuide;
  Fn0 CopyRight;
  Fn1 DEBUG, DynamicRange, Exposure, ExposureSemaphore;
  Fn2 GETBUFFER;
  Fn0 GetVIDPID;
  Fn2 GuideCommand;
  Fn3 GuideCommandXY;
  Fn1 HorizontalFlip;
  Fn0 OpenDevice;
  Fn4 ProgramCamera;
  Fn1 RowNoise, SETBUFFERMODE;
  Fn2 SendRegister;
  Fn1 SetAGC, SetCompanding, SetDigitalGain;
  Fn2 Subframe;
  Fn1 ThreadedExposure, VerticalFlip;
  Fn3 bufferCopy;
  Fn1 checkdevice;
  Fn0 closeUSB;
  Fn3 debayerBuffer;
  Fn4 debayerImage, debayerImageFITBYTE, debayerImageFITWORD, debayerImageW;
  Fn0 getbufptr, isExposing;
  Fn1 openUSB;
};

struct StandIn {
  TarncamSimConfigureFn configure;
  TarncamSimStatsFn stats;
  TarncamSimTakeLogFn takeLog;
  TarncamSimTestPatternFn pattern;
};

// ---------------------------------------------------------------------------
// Reporting

int gPassed = 0;
int gFailed = 0;

void Line(const char* tag, const std::string& name, const std::string& detail) {
  std::printf("%-5s %s%s%s\n", tag, name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
}

bool Check(bool ok, const std::string& name) {
  Line(ok ? "ok" : "FAIL", name, "");
  (ok ? gPassed : gFailed)++;
  return ok;
}

// With what was seen, printed on failure only.
bool Check(bool ok, const std::string& name, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool Check(bool ok, const std::string& name, const char* format, ...) {
  char detail[1024] = "";
  if (!ok) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
  }
  Line(ok ? "ok" : "FAIL", name, detail);
  (ok ? gPassed : gFailed)++;
  return ok;
}

void Skip(const std::string& name, const char* why) { Line("skip", name, why); }

// ---------------------------------------------------------------------------
// The run

class Probe {
 public:
  Probe(const Api& a, const StandIn& s) : dll(a), sim(s) {}

  void Run() {
    NoCamera();
    UnopenablePath();
    BlankController();
    SlowRestart();
    ProgrammedController();
    Exposures();
    OutputModes();
    Guide();
    CancelAndClose();
    AbandonedReadout();
    Recovery();
    dll.closeUSB();
    const tarncam_winsim_stats st = Stats();
    Check(st.interfaces_alive == 0 && st.sets_alive == 0, "nothing left open at the end",
          "%ld interface handles, %ld information sets", static_cast<long>(st.interfaces_alive),
          static_cast<long>(st.sets_alive));
  }

 private:
  // ---- Helpers ----

  tarncam_winsim_stats Stats() const {
    tarncam_winsim_stats st{};
    st.struct_size = sizeof st;
    sim.stats(&st);
    return st;
  }

  std::string TakeLog() const {
    std::vector<char> text(1 << 20);
    sim.takeLog(text.data(), static_cast<uint32_t>(text.size()));
    std::string log = text.data();
    // A download's records depend on the image built in (the placeholder
    // image has none); the simulated controller checks them byte for byte, so
    // the sequences compared here leave them out.
    const size_t at = log.find("firmware ");
    if (at != std::string::npos) log.erase(at, log.find(';', at) + 1 - at);
    return log;
  }

  // Replaces the camera; the DLL must have no device open.
  bool Configure(const std::string& options) {
    dll.closeUSB();
    return Check(sim.configure(options.c_str()) == 0, "configure camera: " + options);
  }

  // No contract violation seen by the stand-ins since the last configuration.
  void NoViolations(const std::string& what) {
    const tarncam_winsim_stats st = Stats();
    Check(st.violations == 0, what + ": the Win32 backend passes the documented arguments",
          "%lu violations, first: %s", static_cast<unsigned long>(st.violations),
          st.first_violation);
  }

  // Sets the window and depth and programs the camera, checking that a
  // register block reached it (a fresh simulated camera has lost the DLL's
  // last programming, so each configuration gets a block that differs from
  // the last one sent: the exposure alternates by one millisecond).
  bool Program(uint32_t width, uint32_t height, uint32_t depth, uint32_t exposureMs = kExposureMs) {
    dll.Subframe(width, height);
    dll.DynamicRange(depth);
    const uint64_t before = Stats().programmings;
    toggle = !toggle;
    dll.ProgramCamera(exposureMs + (toggle ? 1 : 0), kGain, 0, 0);
    const uint64_t after = Stats().programmings;
    if (after != before + 1) {
      return Check(false, "program " + Geometry(width, height, depth),
                   "%llu register blocks reached the camera",
                   static_cast<unsigned long long>(after - before));
    }
    return true;
  }

  static std::string Geometry(uint32_t w, uint32_t h, uint32_t depth) {
    return std::to_string(w) + "x" + std::to_string(h) + " " + std::to_string(depth) + "-bit";
  }

  // The frame in destination layout: rows of the window's samples, each
  // taken from its transfer row, 50 samples in for the two narrow windows
  // the camera centres; 10-bit samples as little-endian words.
  std::vector<uint8_t> Expected(uint32_t w, uint32_t h, bool tenBit) const {
    const uint32_t skip = (w == 376 || w == 400) ? 50 : 0;
    const uint32_t bps = tenBit ? 2 : 1;
    std::vector<uint8_t> out(size_t{w} * h * bps);
    for (uint32_t r = 0; r < h; ++r) {
      for (uint32_t c = 0; c < w; ++c) {
        const uint32_t v = sim.pattern(r, c + skip, tenBit ? 1 : 0);
        const size_t at = (size_t{r} * w + c) * bps;
        out[at] = static_cast<uint8_t>(v);
        if (tenBit) out[at + 1] = static_cast<uint8_t>(v >> 8);
      }
    }
    return out;
  }

  static std::string FirstDifference(const uint8_t* got, const std::vector<uint8_t>& want) {
    for (size_t i = 0; i < want.size(); ++i) {
      if (got[i] != want[i]) {
        char text[96];
        std::snprintf(text, sizeof text, "byte %zu is 0x%02x, expected 0x%02x", i, got[i], want[i]);
        return text;
      }
    }
    return "";
  }

  bool CheckFrame(const std::string& name, const uint8_t* got, const std::vector<uint8_t>& want) {
    const std::string diff = FirstDifference(got, want);
    return Check(diff.empty(), name, "%s", diff.c_str());
  }

  // Runs the exposure on a worker and waits on a real semaphore for its end.
  bool Threaded(void* destination, DWORD timeoutMs, const std::string& name) {
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 16, nullptr);
    dll.ExposureSemaphore(Word(sem));
    const W started = dll.ThreadedExposure(Word(destination));
    const DWORD waited =
        started != kThreadStartFailed ? WaitForSingleObject(sem, timeoutMs) : WAIT_FAILED;
    // One release per frame, by one: a second one must not be there.
    const DWORD again = WaitForSingleObject(sem, 0);
    dll.ExposureSemaphore(0);
    CloseHandle(sem);
    return Check(started != kThreadStartFailed && waited == WAIT_OBJECT_0 &&
                     again == WAIT_TIMEOUT && dll.isExposing() == 0,
                 name + ": worker ends, semaphore released once, isExposing 0",
                 "start 0x%lx, wait %lu, second wait %lu", static_cast<unsigned long>(started),
                 static_cast<unsigned long>(waited), static_cast<unsigned long>(again));
  }

  static bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
      if (GetTickCount64() > end) return false;
      Sleep(2);
    }
    return true;
  }

  // Whether `pieces` occur in `log` in this order.
  static bool InOrder(const std::string& log, std::initializer_list<const char*> pieces) {
    size_t at = 0;
    for (const char* p : pieces) {
      at = log.find(p, at);
      if (at == std::string::npos) return false;
      at += std::strlen(p);
    }
    return true;
  }

  static size_t Count(const std::string& log, const std::string& piece) {
    size_t n = 0;
    for (size_t at = log.find(piece); at != std::string::npos; at = log.find(piece, at + 1)) ++n;
    return n;
  }

  // ---- Scenarios ----

  void NoCamera() {
    if (!Configure("scene=test-pattern,present=0")) return;
    Check(dll.openUSB(0) == 0, "openUSB with no camera returns 0");
    const std::string log = TakeLog();
    // The size query finds nothing, so no detail is fetched and nothing opened.
    Check(log == "classdevs;enum 0;detail-size;destroy;",
          "no camera: one enumeration, released, nothing opened", "log %s", log.c_str());
    Check(dll.checkdevice(0) == 0, "checkdevice with no camera returns 0");
    NoViolations("no camera");
  }

  // The device path cannot be opened: CreateFileA's invalid handle goes to
  // WinUsb_Initialize, which refuses it, and the open ends closed.
  void UnopenablePath() {
    if (!Configure("scene=test-pattern,device_file=missing")) return;
    Check(dll.openUSB(0) == 0, "openUSB when the device cannot be opened returns 0");
    const std::string log = TakeLog();
    const tarncam_winsim_stats st = Stats();
    Check(log == "classdevs;enum 0;detail-size;detail 5;destroy;init;" &&
              st.initialize_invalid == 1 && st.interfaces_alive == 0,
          "failed open: WinUsb_Initialize gets INVALID_HANDLE_VALUE, nothing else is sent",
          "log %s, %lu invalid", log.c_str(), static_cast<unsigned long>(st.initialize_invalid));
    NoViolations("failed open");
  }

  void BlankController() {
    if (!Configure("scene=test-pattern,blank=1,renumerate_ms=1500")) return;
    const ULONGLONG t0 = GetTickCount64();
    const W opened = dll.openUSB(0);
    const ULONGLONG elapsed = GetTickCount64() - t0;
    Check(opened == 1, "openUSB on a blank controller returns 1 after the download");
    const tarncam_winsim_stats st = Stats();
    Check(st.firmware_downloads == 1 && st.programmed == 1,
          "blank controller: one download, accepted as the camera's own program",
          "%llu downloads, programmed %ld", static_cast<unsigned long long>(st.firmware_downloads),
          static_cast<long>(st.programmed));
    // The controller restarts with its new program; the DLL waits for it.
    Check(elapsed >= 5000, "blank controller: the DLL waits out the restart", "%llu ms",
          static_cast<unsigned long long>(elapsed));
    const std::string log = TakeLog();
    const char* expected =
        "classdevs;enum 0;detail-size;detail 5;destroy;init;ctl 80 06 0100 0000 18;"
        "ctl 40 a0 e600 0000 1;ctl 40 a0 e600 0000 1;free;"
        "classdevs;enum 0;detail-size;detail 5;destroy;init;ctl 80 06 0100 0000 18;"
        "policy 82 2 1;policy 01 2 1;ctl c0 55 0000 0063 4;";
    Check(log == expected,
          "blank controller: download, release, enumerate again, open with stall policies",
          "log %s", log.c_str());
    Check(st.interfaces_alive == 1 && st.sets_alive == 0,
          "blank controller: the first interface freed, sets destroyed", "%ld interfaces, %ld sets",
          static_cast<long>(st.interfaces_alive), static_cast<long>(st.sets_alive));
    NoViolations("blank controller open");
    std::printf("info  blank-controller open took %llu ms\n",
                static_cast<unsigned long long>(elapsed));
  }

  // A controller that stays away longer than the DLL waits for it: the
  // second enumeration finds nothing and the open ends closed, quietly.
  void SlowRestart() {
    if (!Configure("scene=test-pattern,blank=1,renumerate_ms=8000")) return;
    Check(dll.openUSB(0) == 0, "openUSB while the controller is still restarting returns 0");
    const std::string log = TakeLog();
    Check(log ==
              "classdevs;enum 0;detail-size;detail 5;destroy;init;ctl 80 06 0100 0000 18;"
              "ctl 40 a0 e600 0000 1;ctl 40 a0 e600 0000 1;free;"
              "classdevs;enum 0;detail-size;destroy;",
          "restarting controller: not enumerated while away, nothing opened", "log %s",
          log.c_str());
    const tarncam_winsim_stats st = Stats();
    Check(st.interfaces_alive == 0 && st.sets_alive == 0 && dll.DEBUG(99) == 0xFFFFFFFF,
          "restarting controller: nothing left open");
    NoViolations("restarting controller");
  }

  void ProgrammedController() {
    if (!Configure("scene=test-pattern")) return;
    Check(dll.checkdevice(0) == 1, "checkdevice with a camera returns 1");
    dll.OpenDevice();  // the decorated export
    Check(dll.DEBUG(99) == kExpectedFirmware, "OpenDevice opens: DEBUG(99) reads the version");
    Check(dll.openUSB(0) == 1, "openUSB on a programmed controller returns 1");
    const std::string log = TakeLog();
    // checkdevice: open and close; OpenDevice: open; openUSB: close, open, version.
    const std::string open =
        "classdevs;enum 0;detail-size;detail 5;destroy;init;ctl 80 06 0100 0000 18;"
        "policy 82 2 1;policy 01 2 1;";
    Check(log == open + "free;" + open + "ctl c0 55 0000 0063 4;free;" + open +
                     "ctl c0 55 0000 0063 4;",
          "programmed controller: exact call sequence of checkdevice, OpenDevice, openUSB",
          "log %s", log.c_str());
    Check(dll.DEBUG(99) == kExpectedFirmware, "DEBUG(99) returns the firmware version");
    Check(dll.GetVIDPID() == kMonoIdWord, "GetVIDPID returns the camera's identification",
          "0x%08lx", static_cast<unsigned long>(dll.GetVIDPID()));
    Check(dll.SendRegister(0x0D, 0x0300) == 0 && dll.CameraReset() == 0,
          "SendRegister and CameraReset reach the camera");
    TakeLog();
    Check(dll.CancelExposure() != 0, "CancelExposure with nothing running still writes the abort");
    const std::string abort = TakeLog();
    Check(abort == "write 01 30;", "the abort is one byte 0x30 on pipe 0x01", "log %s",
          abort.c_str());
    NoViolations("programmed controller");
  }

  void Exposures() {
    struct Window {
      uint32_t w, h;
    };
    const Window windows[] = {{752, 480}, {376, 240}, {400, 300}, {640, 480}};
    std::vector<uint8_t> dest(size_t{kFullSamples} * 2 + 64);
    for (uint32_t depth : {8u, 10u}) {
      const bool ten = depth != 8;
      for (const Window& win : windows) {
        const std::string g = Geometry(win.w, win.h, depth);
        if (!Program(win.w, win.h, depth)) continue;
        const std::vector<uint8_t> want = Expected(win.w, win.h, ten);

        // Inline: the frame is in place when Exposure returns.
        std::fill(dest.begin(), dest.end(), 0xEE);
        const W result = dll.Exposure(Word(dest.data()));
        Check(result == 0 && dll.isExposing() == 0, "inline " + g + ": returns, not exposing",
              "result %lu", static_cast<unsigned long>(result));
        CheckFrame("inline " + g + ": destination byte-exact", dest.data(), want);
        Check(dest[want.size()] == 0xEE, "inline " + g + ": nothing written past the frame");
        const tarncam_winsim_stats st = Stats();
        Check(st.last_read_length == st.last_frame_bytes,
              "inline " + g + ": one read of exactly the frame the camera sends",
              "read %lu, frame %lu", static_cast<unsigned long>(st.last_read_length),
              static_cast<unsigned long>(st.last_frame_bytes));

        Check(st.last_read_thread == GetCurrentThreadId(),
              "inline " + g + ": read on the caller's thread");

        // Threaded: the worker delivers, then releases the semaphore.
        std::fill(dest.begin(), dest.end(), 0xEE);
        if (Threaded(dest.data(), kFrameWaitMs, "threaded " + g)) {
          CheckFrame("threaded " + g + ": destination byte-exact", dest.data(), want);
          Check(Stats().last_read_thread != GetCurrentThreadId(),
                "threaded " + g + ": read on the worker thread");
        }
      }
      // No destination: the frame ends up packed at the start of the raw buffer.
      if (Program(kFullWidth, kFullHeight, depth)) {
        const std::string g = Geometry(kFullWidth, kFullHeight, depth);
        dll.Exposure(0);
        const auto* raw = reinterpret_cast<const uint8_t*>(dll.getbufptr());
        CheckFrame("inline " + g + " without destination: raw buffer holds the frame packed", raw,
                   Expected(kFullWidth, kFullHeight, ten));
      }
    }
    const tarncam_winsim_stats st = Stats();
    Check(st.read_failures == 0 && st.frames == st.reads,
          "every exposure read a whole frame at the first attempt", "%lu reads, %llu frames",
          static_cast<unsigned long>(st.reads), static_cast<unsigned long long>(st.frames));
    NoViolations("exposures");
  }

  void OutputModes() {
    // A full 8-bit frame read into the raw buffer itself.
    if (!Program(kFullWidth, kFullHeight, 8)) return;
    dll.Exposure(0);
    const std::vector<uint8_t> frame = Expected(kFullWidth, kFullHeight, false);
    std::vector<uint8_t> out(size_t{kFullSamples} * 6 + 64);

    dll.SETBUFFERMODE(1);
    const W r1 = dll.GETBUFFER(Word(out.data()), kFullSamples);
    if (r1 != Word(out.data())) {
      Skip("GETBUFFER modes", "mode 1 does not return the destination (not implemented yet)");
      return;
    }
    CheckFrame("GETBUFFER mode 1: the raw bytes", out.data(), frame);

    auto expand = [&](size_t per, auto fill) {
      std::vector<uint8_t> want(frame.size() * per);
      for (size_t i = 0; i < frame.size(); ++i) fill(&want[i * per], frame[i]);
      return want;
    };
    dll.SETBUFFERMODE(0);
    const W r0 = dll.GETBUFFER(Word(out.data()), kFullSamples * 2);
    Check(r0 == Word(out.data()), "GETBUFFER mode 0 returns the destination");
    CheckFrame("GETBUFFER mode 0: 16-bit samples, raw byte high", out.data(),
               expand(2, [](uint8_t* p, uint8_t b) { p[0] = 0, p[1] = b; }));
    dll.SETBUFFERMODE(2);
    Check(dll.GETBUFFER(Word(out.data()), kFullSamples) == 0, "GETBUFFER mode 2 returns 0");
    CheckFrame("GETBUFFER mode 2: grey as 8-bit RGB", out.data(),
               expand(3, [](uint8_t* p, uint8_t b) { p[0] = p[1] = p[2] = b; }));
    dll.SETBUFFERMODE(3);
    Check(dll.GETBUFFER(Word(out.data()), kFullSamples) == 0, "GETBUFFER mode 3 returns 0");
    CheckFrame("GETBUFFER mode 3: grey as 16-bit RGB", out.data(),
               expand(6, [](uint8_t* p, uint8_t b) {
                 for (int k = 0; k < 3; ++k) p[2 * k] = 0, p[2 * k + 1] = b;
               }));
    dll.SETBUFFERMODE(5);
    Check(dll.GETBUFFER(Word(out.data()), kFullSamples) == 0, "GETBUFFER mode 5 returns 0");
    CheckFrame("GETBUFFER mode 5: big-endian signed, zero point 32768", out.data(),
               expand(2, [](uint8_t* p, uint8_t b) { p[0] = b ^ 0x80, p[1] = 0; }));

    // Mode 4 demosaics the raw buffer as a full frame, as debayerImage does.
    dll.SETBUFFERMODE(4);
    std::fill(out.begin(), out.end(), 0);
    const W r4 = dll.GETBUFFER(Word(out.data()), 0);
    std::vector<uint8_t> source(dll.getbufptr() != 0 ? kFullSamples + 1 : 0);
    std::memcpy(source.data(), reinterpret_cast<const void*>(dll.getbufptr()), source.size());
    std::vector<uint8_t> want(size_t{kFullWidth} * (kFullHeight - 1) * 3 + 64);
    const W rd = dll.debayerImage(Word(source.data()), Word(want.data()), kFullWidth, kFullHeight);
    Check(r4 == 479 && rd == 479, "GETBUFFER mode 4 returns 479");
    Check(std::memcmp(out.data(), want.data(), want.size() - 64) == 0,
          "GETBUFFER mode 4: the demosaiced raw buffer");
    dll.SETBUFFERMODE(0);

    // A 10-bit frame comes through intact only in mode 1, as 16-bit words.
    if (!Program(kFullWidth, kFullHeight, 10)) return;
    dll.Exposure(0);
    dll.SETBUFFERMODE(1);
    dll.GETBUFFER(Word(out.data()), kFullSamples * 2);
    CheckFrame("GETBUFFER mode 1 after a 10-bit frame: the samples as words", out.data(),
               Expected(kFullWidth, kFullHeight, true));
    dll.SETBUFFERMODE(0);
    NoViolations("output modes");
  }

  // Brightest star of a full 8-bit frame near (x, y) within `radius`: its
  // centroid above the frame's median.
  static bool Centroid(const std::vector<uint8_t>& f, int x, int y, int radius, double* cx,
                       double* cy) {
    std::vector<uint8_t> sorted(f.begin(), f.begin() + kFullSamples);
    std::nth_element(sorted.begin(), sorted.begin() + kFullSamples / 2, sorted.end());
    const double bias = sorted[kFullSamples / 2];
    const int w = kFullWidth, h = kFullHeight;
    int bx = -1, by = -1, best = -1;
    for (int j = std::max(8, y - radius); j <= std::min(h - 9, y + radius); ++j)
      for (int i = std::max(8, x - radius); i <= std::min(w - 9, x + radius); ++i)
        if (f[j * w + i] > best) best = f[j * w + i], bx = i, by = j;
    if (best < 0) return false;
    double sum = 0, sx = 0, sy = 0;
    for (int j = by - 6; j <= by + 6; ++j)
      for (int i = bx - 6; i <= bx + 6; ++i) {
        const double v = std::max(0.0, f[j * w + i] - bias);
        sum += v, sx += v * i, sy += v * j;
      }
    if (sum <= 0) return false;
    *cx = sx / sum, *cy = sy / sum;
    return true;
  }

  void Guide() {
    if (!Configure("scene=stars,seed=7,star_count=12,star_brightness=500000,sky_level=50,"
                   "read_noise=1,hot_pixels=0,guide_rate=40"))
      return;
    if (!Check(dll.openUSB(0) == 1, "guide: openUSB")) return;
    if (!Program(kFullWidth, kFullHeight, 8, 40)) return;
    std::vector<uint8_t> before(kFullSamples), after(kFullSamples);
    dll.Exposure(Word(before.data()));

    // 200 ms on +X and 100 ms on +Y at 40 pixels per second: 8 and 4 pixels.
    Check(dll.GuideCommandXY(kPlusX | kPlusY, 200, 100) == 0, "GuideCommandXY returns 0");
    const bool settled = WaitFor(
        [&] {
          const tarncam_winsim_stats st = Stats();
          return st.guide_offset_x >= 8.0 - 1e-9 && st.guide_offset_y >= 4.0 - 1e-9;
        },
        kFrameWaitMs);
    Check(settled, "guide pulses run for their durations on both axes");
    dll.Exposure(Word(after.data()));
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    const bool found =
        Centroid(before, kFullWidth / 2, kFullHeight / 2, 200, &x0, &y0) &&
        Centroid(after, static_cast<int>(x0 + 8.5), static_cast<int>(y0 + 4.5), 6, &x1, &y1);
    Check(found && std::fabs(x1 - x0 - 8) < 1.0 && std::fabs(y1 - y0 - 4) < 1.0,
          "the stars in the frames moved by the guide pulses",
          "star at (%.2f, %.2f), then (%.2f, %.2f)", x0, y0, x1, y1);

    // A pulse until cancelled, stopped by CancelGuide on its axis only; then
    // one during a threaded exposure, on the control pipe beside the read.
    Check(dll.GuideCommand(kMinusX, static_cast<W>(-1)) == 0, "GuideCommand until cancelled");
    WaitFor([&] { return Stats().guide_offset_x < 7.5; }, kFrameWaitMs);
    Check(dll.CancelGuide(1, 0) == 0, "CancelGuide returns 0");
    const double stopped = Stats().guide_offset_x;
    Sleep(60);
    Check(Stats().guide_offset_x == stopped && stopped < 7.5,
          "CancelGuide stops the running X pulse", "x %.3f then %.3f", stopped,
          Stats().guide_offset_x);
    TakeLog();
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 4, nullptr);
    dll.ExposureSemaphore(Word(sem));
    dll.ThreadedExposure(Word(after.data()));
    const W during = dll.GuideCommandXY(kPlusY, 50, 50);
    const DWORD waited = WaitForSingleObject(sem, kFrameWaitMs);
    dll.ExposureSemaphore(0);
    CloseHandle(sem);
    const std::string log = TakeLog();
    Check(during == 0 && waited == WAIT_OBJECT_0 && InOrder(log, {"ctl 40 10 0000 0004 8;"}),
          "a guide command during a threaded exposure", "log %s", log.c_str());
    NoViolations("guide");
  }

  void CancelAndClose() {
    std::vector<uint8_t> dest(kFullSamples);
    // The first read never completes by itself: only the abort ends it, so
    // the outcome cannot depend on how fast anything runs.
    if (!Configure("scene=test-pattern,timeout_read=1")) return;
    if (!Check(dll.openUSB(0) == 1, "cancel: openUSB")) return;
    if (!Program(kFullWidth, kFullHeight, 8)) return;
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 4, nullptr);
    dll.ExposureSemaphore(Word(sem));
    TakeLog();
    const W started = dll.ThreadedExposure(Word(dest.data()));
    const bool pending = WaitFor([&] { return Stats().read_pending == 1; }, kFrameWaitMs);
    Check(started != kThreadStartFailed && pending && dll.isExposing() == 1,
          "cancel: the worker's read is pending, isExposing 1");
    const W cancelled = dll.CancelExposure();
    const DWORD waited = WaitForSingleObject(sem, kFrameWaitMs);
    tarncam_winsim_stats st = Stats();
    Check(cancelled != 0 && waited == WAIT_OBJECT_0 && dll.isExposing() == 0,
          "CancelExposure ends the pending read; the worker finishes and signals");
    Check(st.aborts == 1 && st.reads == 1 && st.max_threads_inside >= 2,
          "cancel: the abort met the pending read on another thread, no retry",
          "%llu aborts, %lu reads, %lu threads at once", static_cast<unsigned long long>(st.aborts),
          static_cast<unsigned long>(st.reads), static_cast<unsigned long>(st.max_threads_inside));
    const std::string log = TakeLog();
    Check(InOrder(log, {"read 82 ", "write 01 30;"}), "cancel: abort byte written during the read",
          "log %s", log.c_str());
    NoViolations("cancel");

    // closeUSB during a worker exposure: abort, 500 ms, not exposing, device
    // closed; the worker ends afterwards and the interface is freed then.
    if (!Configure("scene=test-pattern,timeout_read=1")) return;
    if (!Check(dll.openUSB(0) == 1, "close: openUSB")) return;
    if (!Program(kFullWidth, kFullHeight, 8)) return;
    dll.ExposureSemaphore(Word(sem));
    dll.ThreadedExposure(Word(dest.data()));
    Check(WaitFor([&] { return Stats().read_pending == 1; }, kFrameWaitMs),
          "close: the worker's read is pending");
    const ULONGLONG t0 = GetTickCount64();
    dll.closeUSB();
    const ULONGLONG closing = GetTickCount64() - t0;
    Check(dll.isExposing() == 0 && closing >= 500,
          "closeUSB during an exposure: returns after its wait with isExposing 0", "%llu ms",
          static_cast<unsigned long long>(closing));
    const DWORD ended = WaitForSingleObject(sem, kFrameWaitMs);
    const bool freed = WaitFor([&] { return Stats().interfaces_alive == 0; }, kFrameWaitMs);
    st = Stats();
    Check(ended == WAIT_OBJECT_0 && freed && st.aborts == 1,
          "close: the worker ends, signals, and the interface is freed after it",
          "wait %lu, %ld interfaces, %llu aborts", static_cast<unsigned long>(ended),
          static_cast<long>(st.interfaces_alive), static_cast<unsigned long long>(st.aborts));
    Check(dll.GuideCommand(kPlusX, 10) == 1, "after closeUSB the guide command finds no device");
    dll.ExposureSemaphore(0);
    CloseHandle(sem);
    NoViolations("close during an exposure");
  }

  void AbandonedReadout() {
    // A camera that ignores the abort: closeUSB cannot end the pending read
    // and leaves its readout running until the read's timeout. The reopen
    // waits for that readout, so it never meets the next session's exposure.
    std::vector<uint8_t> first(kFullSamples, 0xEE), second(kFullSamples, 0xEE);
    if (!Configure("scene=test-pattern,timeout_read=1,ignore_abort=1")) return;
    if (!Check(dll.openUSB(0) == 1, "abandoned: openUSB")) return;
    if (!Program(kFullWidth, kFullHeight, 8)) return;
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 4, nullptr);
    dll.ExposureSemaphore(Word(sem));
    dll.ThreadedExposure(Word(first.data()));
    Check(WaitFor([&] { return Stats().read_pending == 1; }, kFrameWaitMs),
          "abandoned: the worker's read is pending");
    dll.closeUSB();
    const bool stillPending = Stats().read_pending == 1;
    const DWORD early = WaitForSingleObject(sem, 0);
    Check(dll.isExposing() == 0 && stillPending && early == WAIT_TIMEOUT,
          "closeUSB abandons the readout of a camera that ignores the abort",
          "isExposing %lu, read pending %d, semaphore %lu",
          static_cast<unsigned long>(dll.isExposing()), stillPending ? 1 : 0,
          static_cast<unsigned long>(early));
    const W reopened = dll.openUSB(0);
    const DWORD ended = WaitForSingleObject(sem, 0);
    Check(reopened == 1 && ended == WAIT_OBJECT_0 && Stats().read_pending == 0,
          "openUSB waits for the abandoned readout, which ended and signalled first",
          "openUSB %lu, semaphore %lu", static_cast<unsigned long>(reopened),
          static_cast<unsigned long>(ended));
    // The next exposure is the new session's own: the whole frame, one release.
    dll.Exposure(Word(second.data()));
    CheckFrame("abandoned: the next session's frame is byte-exact", second.data(),
               Expected(kFullWidth, kFullHeight, false));
    const DWORD once = WaitForSingleObject(sem, 0);
    const DWORD twice = WaitForSingleObject(sem, 0);
    Check(once == WAIT_OBJECT_0 && twice == WAIT_TIMEOUT,
          "abandoned: one release for the next exposure", "waits %lu, %lu",
          static_cast<unsigned long>(once), static_cast<unsigned long>(twice));
    dll.ExposureSemaphore(0);
    CloseHandle(sem);
    NoViolations("an abandoned readout");
  }

  void Recovery() {
    // A transfer error on the first read: one controller reset, a forced
    // reprogramming, a second read that delivers the frame.
    std::vector<uint8_t> dest(size_t{kFullSamples} * 2);
    if (!Configure("scene=test-pattern,fail_read=1")) return;
    if (!Check(dll.openUSB(0) == 1, "retry: openUSB")) return;
    if (!Program(376, 240, 8)) return;
    TakeLog();
    const ULONGLONG t0 = GetTickCount64();
    dll.Exposure(Word(dest.data()));
    const ULONGLONG took = GetTickCount64() - t0;
    tarncam_winsim_stats st = Stats();
    std::string log = TakeLog();
    Check(st.reads == 2 && st.read_failures == 1 && st.timeout_policies == 2,
          "failed read: retried once with the timeout set again", "%lu reads, %lu failed",
          static_cast<unsigned long>(st.reads), static_cast<unsigned long>(st.read_failures));
    Check(InOrder(log, {"policy 82 3 ", "read 82 ", "ctl 40 a0 e600 0000 1;ctl 40 a0 e600 0000 1;",
                        "ctl 40 13 ", "policy 82 3 ", "read 82 "}) &&
              Count(log, "read 82 ") == 2,
          "failed read: controller reset, block sent again, read again", "log %s", log.c_str());
    Check(took >= 3550, "failed read: the reset waits are real", "%llu ms",
          static_cast<unsigned long long>(took));
    CheckFrame("failed read: the retried frame is byte-exact", dest.data(),
               Expected(376, 240, false));
    NoViolations("retry after a failed read");

    // A read that times out, on the worker, at 10 bits: same recovery.
    if (!Configure("scene=test-pattern,timeout_read=1")) return;
    if (!Check(dll.openUSB(0) == 1, "timeout: openUSB")) return;
    if (!Program(400, 300, 10)) return;
    if (Threaded(dest.data(), kRetryWaitMs, "timed-out read")) {
      st = Stats();
      Check(st.reads == 2 && st.read_failures == 1 && st.frames == 1,
            "timed-out read: retried once after the pipe timeout", "%lu reads, %lu failed",
            static_cast<unsigned long>(st.reads), static_cast<unsigned long>(st.read_failures));
      CheckFrame("timed-out read: the retried frame is byte-exact", dest.data(),
                 Expected(400, 300, true));
    }
    NoViolations("retry after a timed-out read");

    // A short transfer counts as a frame: no retry, and the rows it carried
    // are in place.
    if (!Configure("scene=test-pattern,short_read=1")) return;
    if (!Check(dll.openUSB(0) == 1, "short read: openUSB")) return;
    if (!Program(640, 480, 8)) return;
    dll.Exposure(Word(dest.data()));
    st = Stats();
    std::vector<uint8_t> half = Expected(640, 480, false);
    half.resize(half.size() / 2);
    Check(st.reads == 1 && st.read_failures == 0, "short read: taken as the frame, no retry",
          "%lu reads", static_cast<unsigned long>(st.reads));
    CheckFrame("short read: the rows sent are byte-exact", dest.data(), half);

    // The camera is unplugged during the exposure and plugged in again at
    // once: its handles stay dead, so all five reads fail and the exposure
    // still ends, once; a new open then takes pictures again.
    if (!Configure("scene=test-pattern,disconnect_read=1,replug_ms=200")) return;
    if (!Check(dll.openUSB(0) == 1, "unplugged: openUSB")) return;
    if (!Program(376, 240, 8)) return;
    if (Threaded(dest.data(), 4 * kRetryWaitMs, "unplugged during the exposure")) {
      st = Stats();
      Check(st.reads == 5 && st.read_failures == 5,
            "unplugged: five reads, each failing, then the exposure ends", "%lu reads, %lu failed",
            static_cast<unsigned long>(st.reads), static_cast<unsigned long>(st.read_failures));
    }
    Check(dll.openUSB(0) == 1 && Program(376, 240, 8) && dll.Exposure(Word(dest.data())) == 0,
          "unplugged: reopened after the camera came back");
    CheckFrame("unplugged: the frame after reopening is byte-exact", dest.data(),
               Expected(376, 240, false));
    NoViolations("unplugged during an exposure");
  }

  const Api& dll;
  const StandIn& sim;
  bool toggle = false;
};

template <typename T>
bool Resolve(HMODULE m, const char* name, T* fn) {
  *fn = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  return *fn != nullptr;
}

// Whether a loaded module is the file beside this program, not a system one.
bool BesideProgram(HMODULE m) {
  char self[MAX_PATH], path[MAX_PATH];
  if (m == nullptr || GetModuleFileNameA(nullptr, self, MAX_PATH) == 0 ||
      GetModuleFileNameA(m, path, MAX_PATH) == 0)
    return false;
  const char* selfSlash = std::strrchr(self, '\\');
  const char* slash = std::strrchr(path, '\\');
  if (selfSlash == nullptr || slash == nullptr) return false;
  const size_t n = static_cast<size_t>(selfSlash - self);
  return static_cast<size_t>(slash - path) == n && _strnicmp(self, path, n) == 0;
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA(kDllName);
  if (dll == nullptr) {
    std::printf("FAIL  load %s: error %lu\n0 passed, 1 failed\n", kDllName,
                static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  Api a{};
  bool all = true;
#define TARNCAM_RESOLVE(field, name) all &= Resolve(dll, name, &a.field)
  TARNCAM_RESOLVE(ADCRef, "ADCRef");
  TARNCAM_RESOLVE(CameraReset, "CameraReset");
  TARNCAM_RESOLVE(CancelExposure, "CancelExposure");
  TARNCAM_RESOLVE(CancelGuide, "CancelGuide");
  TARNCAM_RESOLVE(CopyRight, "?CopyRight@@YGPADXZ");
  TARNCAM_RESOLVE(DEBUG, "?DEBUG@@YGKK@Z");
  TARNCAM_RESOLVE(DynamicRange, "DynamicRange");
  TARNCAM_RESOLVE(Exposure, "Exposure");
  TARNCAM_RESOLVE(ExposureSemaphore, "ExposureSemaphore");
  TARNCAM_RESOLVE(GETBUFFER, "GETBUFFER");
  TARNCAM_RESOLVE(GetVIDPID, "GetVIDPID");
  TARNCAM_RESOLVE(GuideCommand, "GuideCommand");
  TARNCAM_RESOLVE(GuideCommandXY, "GuideCommandXY");
  TARNCAM_RESOLVE(HorizontalFlip, "HorizontalFlip");
  TARNCAM_RESOLVE(OpenDevice, "?OpenDevice@@YGXXZ");
  TARNCAM_RESOLVE(ProgramCamera, "ProgramCamera");
  TARNCAM_RESOLVE(RowNoise, "RowNoise");
  TARNCAM_RESOLVE(SETBUFFERMODE, "SETBUFFERMODE");
  TARNCAM_RESOLVE(SendRegister, "SendRegister");
  TARNCAM_RESOLVE(SetAGC, "SetAGC");
  TARNCAM_RESOLVE(SetCompanding, "SetCompanding");
  TARNCAM_RESOLVE(SetDigitalGain, "SetDigitalGain");
  TARNCAM_RESOLVE(Subframe, "Subframe");
  TARNCAM_RESOLVE(ThreadedExposure, "ThreadedExposure");
  TARNCAM_RESOLVE(VerticalFlip, "VerticalFlip");
  TARNCAM_RESOLVE(bufferCopy, "bufferCopy");
  TARNCAM_RESOLVE(checkdevice, "checkdevice");
  TARNCAM_RESOLVE(closeUSB, "closeUSB");
  TARNCAM_RESOLVE(debayerBuffer, "?debayerBuffer@@YGXPAEKK@Z");
  TARNCAM_RESOLVE(debayerImage, "debayerImage");
  TARNCAM_RESOLVE(debayerImageFITBYTE, "debayerImageFITBYTE");
  TARNCAM_RESOLVE(debayerImageFITWORD, "debayerImageFITWORD");
  TARNCAM_RESOLVE(debayerImageW, "debayerImageW");
  TARNCAM_RESOLVE(getbufptr, "getbufptr");
  TARNCAM_RESOLVE(isExposing, "isExposing");
  TARNCAM_RESOLVE(openUSB, "openUSB");
#undef TARNCAM_RESOLVE
  Check(all, "all 36 exports resolve by their export strings");

  // The stand-in came in with the DLL's import of winusb.dll; without the
  // override Wine's own would be there, and none of this could run.
  StandIn s{};
  HMODULE usb = GetModuleHandleA("winusb.dll");
  const bool standIn = BesideProgram(usb) && BesideProgram(GetModuleHandleA("setupapi.dll")) &&
                       Resolve(usb, "TarncamSimConfigure", &s.configure) &&
                       Resolve(usb, "TarncamSimStats", &s.stats) &&
                       Resolve(usb, "TarncamSimTakeLog", &s.takeLog) &&
                       Resolve(usb, "TarncamSimTestPattern", &s.pattern);
  if (!Check(all && standIn, "the DLL runs against the stand-in winusb.dll and setupapi.dll",
             "set WINEDLLOVERRIDES=winusb,setupapi=n,b and put them beside the program")) {
    std::printf("%d passed, %d failed\n", gPassed, gFailed);
    return 1;
  }

  const ULONGLONG t0 = GetTickCount64();
  Probe(a, s).Run();
  std::printf("info  scenarios took %llu ms\n",
              static_cast<unsigned long long>(GetTickCount64() - t0));
  std::printf("%d passed, %d failed\n", gPassed, gFailed);
  return gFailed == 0 ? 0 : 1;
}
