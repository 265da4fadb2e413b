#pragma once
// The simulated camera behind the library's USB seam: enumeration, the
// controller's firmware RAM, every vendor request, the sensor settings, frame
// delivery on the bulk IN pipe with exposure and transfer times, the abort
// byte on the bulk OUT pipe, pipe timeouts, the guide port and seeded faults.
//
// Thread-safe: the readout worker's bulk read, the caller's abort, guide and
// close all arrive at once. One mutex guards the whole model; a pending bulk
// read waits on a condition variable (through the clock), so aborts, closes
// and disconnects end it early.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/system_services.h"
#include "platform/usb_transport.h"
#include "sim/frame_generator.h"
#include "sim/fx2_model.h"
#include "sim/sensor_model.h"
#include "sim/sim_clock.h"
#include "tarncam/tarncam_sim.h"
#include "usb/firmware.h"

namespace sim {

using Options = tarncam_sim_options;

// Upper limits of the options (tarncam_sim.h).
inline constexpr double kMaxStarBrightness = 1e9;  // e-/s
inline constexpr double kMaxSkyLevel = 1e7;        // e-/pixel/s
inline constexpr double kMaxReadNoise = 1e4;       // e- rms
inline constexpr double kMaxGuideRate = 1e4;       // pixels per second, either way
inline constexpr uint32_t kMaxHotPixels = 100000;

// The defaults of tarncam_sim_default_options.
Options DefaultOptions();
// Checks ranges; false when the options cannot be simulated.
bool ValidOptions(const Options& o);
// The identification word (GetVIDPID's layout) the camera answers with.
uint32_t IdWord(const Options& o);

class StarField;

// What the camera did to the host, by kind: the faults it injected and the
// host's misuse of handles it had released. For tests and the soak.
struct FaultCounts {
  uint64_t readsFailed = 0;     // reads ended with a transfer error
  uint64_t readsTimedOut = 0;   // reads the camera never answered (ended by the pipe timeout)
  uint64_t readsShort = 0;      // reads ended early with success (not by an abort)
  uint64_t controlFailed = 0;   // control transfers failed on purpose
  uint64_t disconnects = 0;     // unplugged during a read's exposure
  uint64_t unplugs = 0;         // unplugged by SetPresent(false)
  uint64_t blankReturns = 0;    // came back with a blank controller after losing power
  uint64_t releasedHandleUses = 0;  // calls on a handle after Close released it
};

class SimCamera final : public tarncam::UsbTransport {
 public:
  SimCamera(const Options& options, Clock& clock,
            std::span<const tarncam::FirmwareRecord> image = tarncam::FirmwareImage);
  ~SimCamera() override;

  // ---- UsbTransport ----
  bool FindFirstDevice(char* path, uint32_t capacity) override;
  uint32_t ListDevices(tarncam::DeviceInfo* out, uint32_t capacity) override;
  tarncam::Handle Open(const char* path, tarncam::UsbResult* why) override;
  tarncam::UsbResult ClaimInterface(tarncam::Handle device, tarncam::Handle* usb) override;
  void Close(tarncam::Handle device, tarncam::Handle usb) override;
  tarncam::UsbResult EnableStallRecovery(tarncam::Handle usb, uint8_t pipe) override;
  tarncam::UsbResult SetTransferTimeout(tarncam::Handle usb, uint8_t pipe, uint32_t ms) override;
  tarncam::UsbResult ControlTransfer(tarncam::Handle usb, const tarncam::SetupPacket& setup,
                                     uint8_t* data, uint32_t length) override;
  tarncam::UsbResult ReadPipe(tarncam::Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                              uint32_t* transferred) override;
  tarncam::UsbResult WritePipe(tarncam::Handle usb, uint8_t pipe, const uint8_t* buffer,
                               uint32_t length, uint32_t* transferred) override;
  // Ends a read pending on `usb` at once; it reports kCancelled. Later
  // transfers are not touched.
  void CancelTransfers(tarncam::Handle usb) override;
  // The same, and bulk transfers started on `usb` afterwards fail with
  // kCancelled, as libusb's do.
  void CancelForClose(tarncam::Handle usb) override;

  // The path the simulated camera is found at.
  static constexpr const char* kPath = "sim:tarncam/0";

  // ---- Controls for tests and the tool ----
  // While held, a bulk read stays pending until ReleaseRead, an abort, a
  // close or disconnect, or its timeout passing on the clock.
  void HoldReads(bool hold);
  void ReleaseRead();
  // Blocks (real time, bounded) until a bulk read is pending, and when
  // `readNumber` is not 0, until that read (counted from 1) or a later one is.
  bool WaitForPendingRead(uint64_t readNumber = 0, int timeoutMs = 20000);
  // How the camera answers the next bulk read, for the USB contract's
  // cases: as usual; with a stall (the pipe stays halted unless stall
  // recovery is on, as a halted endpoint does); ending early after half the
  // frame; with a zero-length packet.
  enum class NextRead : uint8_t { kNormal, kStall, kShort, kZeroLength };
  void ShapeNextRead(NextRead shape);
  // Test hooks, each run on the calling thread outside the camera's lock:
  // after a successful interface claim, and before a bulk OUT write is
  // taken (the abort byte). Set them before the calls they are to meet.
  void OnClaim(std::function<void()> hook);
  void OnWrite(std::function<void()> hook);
  // Unplugs or plugs in the camera; the controller keeps its state.
  void SetPresent(bool present);
  // The first `length` bytes of the frame the next bulk read will deliver,
  // rendered as the scene stands now, without starting that read: for a
  // device front end that has to offer the start of a frame before it can
  // see the host asking for one. Returns the frame's size in bytes, or 0
  // when the controller sends no frames.
  uint64_t PeekFrame(uint8_t* dst, uint64_t length);
  // Every transfer fails from now on; a pending read ends. Returns once no
  // call is inside the camera any more.
  void Shutdown();

  tarncam_sim_stats Stats() const;
  FaultCounts Faults() const;
  // Handles opened or claimed and not yet released by Close.
  int OpenHandles() const;
  SensorSettings Sensor() const;
  uint32_t PipeTimeoutMs() const;
  uint32_t ControllerByte(uint16_t address) const;
  // The star field, or null when the scene is the test pattern.
  const StarField* Stars() const;
  // Every SendRegister received, as (index, value).
  std::vector<std::pair<uint16_t, uint16_t>> Registers() const;
  uint64_t Resets() const;  // CameraReset requests

 private:
  struct HandleInfo {
    uint64_t epoch;
    bool isInterface;
    bool closed = false;
    uint32_t timeoutMs = 0;  // PIPE_TRANSFER_TIMEOUT of the IN pipe
    bool bulkRefused = false;  // CancelForClose: no bulk transfer starts
  };
  struct Axis {
    double acc = 0;  // pixels moved by finished pulses
    int sign = 0;    // of the running pulse; 0 none
    uint64_t startUs = 0;
    uint64_t endUs = 0;
  };
  class CallGuard;

  void UpdatePresence(uint64_t now);
  // The camera leaves the bus until `backAtUs`; `unplugged`: the cable went,
  // not a renumeration after a download.
  void GoAway(uint64_t now, uint64_t backAtUs, bool unplugged = false);
  // Counts a call made with a handle the host had released.
  void NoteUse(tarncam::Handle h);
  HandleInfo* Live(tarncam::Handle h, bool wantInterface);
  bool ControlLocked(const tarncam::SetupPacket& setup, uint8_t* data, uint32_t length,
                     uint64_t now);
  double AxisOffset(const Axis& a, uint64_t t) const;
  void StartPulse(Axis& a, int sign, int32_t duration, uint64_t now);
  void StopAxis(Axis& a, uint64_t now);
  double Chance(uint64_t number, uint64_t kind) const;
  uint64_t Render(uint8_t* dst, uint64_t length, const SensorSettings& s, uint64_t frameNumber,
                  uint64_t atUs);

  const Options opts;
  Clock& clock;
  Fx2Model fx2;
  std::unique_ptr<FrameGenerator> generator;
  StarField* starField = nullptr;  // the generator, when it is the star field
  int waker = -1;

  mutable std::mutex mu;
  std::condition_variable cv;
  bool present;
  uint64_t backAtUs = 0;  // when an absent camera reappears (kForever: never)
  uint64_t epoch = 1;     // bumped whenever the device leaves the bus
  bool shutdown = false;
  int inFlight = 0;
  std::map<tarncam::Handle, HandleInfo> handles;
  tarncam::Handle nextHandle = 0x5100;
  SensorSettings sensor;
  Axis axisX, axisY;
  std::vector<std::pair<uint16_t, uint16_t>> registers;
  uint64_t resets = 0;
  uint64_t controlNumber = 0;
  tarncam_sim_stats stats{};
  FaultCounts faults;

  // The one pending bulk read.
  bool holdReads = false;
  bool readPending = false;
  bool readAborted = false;
  bool readReleased = false;
  tarncam::Handle readCancelled = tarncam::kInvalidHandle;  // interface whose read was cancelled

  NextRead nextRead = NextRead::kNormal;
  bool inHalted = false;      // the IN pipe stalled and was not cleared
  bool stallRecovery = false;  // EnableStallRecovery on the IN pipe
  std::function<void()> claimHook;
  std::function<void()> writeHook;
};

// System services on a simulation clock, for tests: waits move the clock,
// worker threads are real (and counted), semaphores are POSIX sem_t*, and
// messages are recorded instead of shown. Its UTC is a fixed origin plus the
// clock's time, so frame times are as deterministic as the clock.
class SimSystem final : public tarncam::SystemServices {
 public:
  // 2026-01-01T00:00:00Z.
  static constexpr int64_t kUtcOriginNs = 1767225600LL * 1'000'000'000;

  explicit SimSystem(Clock& c);
  ~SimSystem() override;
  void SleepAlertable(uint32_t ms) override;
  std::uintptr_t StartWorker(ThreadEntry entry, uint32_t stackSize, void* arg) override;
  uint32_t SignalSemaphore(tarncam::Handle semaphore) override;
  void ShowMessage(const char* text, const char* caption) override;
  uint64_t MonotonicNs() override;
  int64_t UtcNs() override;
  // Blocks for real until the flag clears or others move the clock past the
  // wait's end (a real-time bound keeps a broken test from hanging).
  bool WaitForZero(const std::atomic<uint32_t>& flag, uint32_t timeoutMs) override;
  void WakeFlagWaiters(const std::atomic<uint32_t>& flag) override;
  // Moves the clock on at once, like SleepAlertable; while HoldSleeps is on
  // it blocks instead (real time, bounded) until the stop flag is set or
  // others move the clock past its end, so a test can cancel mid-wait.
  bool SleepUnless(const std::atomic<uint32_t>& stop, uint32_t ms) override;
  void HoldSleeps(bool hold);
  // Blocks (real time, bounded) until `n` held SleepUnless waits have begun
  // in all (ended ones included).
  bool WaitForHeldSleeps(int n, int timeoutMs = 20000);

  // Blocks (real time, bounded) until `n` workers have returned.
  bool WaitForWorkers(int n, int timeoutMs = 20000);
  int WorkersStarted() const;
  std::vector<std::string> Messages() const;
  uint64_t SleptMs() const;
  // Blocks (real time, bounded) until `n` threads are inside WaitForZero.
  bool WaitForFlagWaiters(int n, int timeoutMs = 20000);

 private:
  Clock& clock;
  int waker = -1;
  mutable std::mutex mu;
  std::condition_variable cv;
  int started = 0;
  int finished = 0;
  int flagWaiters = 0;
  bool holdSleeps = false;
  int heldSleeps = 0;      // held now
  int heldSleepsBegun = 0;  // held ever
  uint64_t slept = 0;
  std::vector<std::string> messages;
};

}  // namespace sim
