#pragma once
// A recording fake of the whole platform seam, for unit tests: every USB and
// system operation is appended to one ordered log with its arguments, waits
// advance a virtual clock instead of sleeping, and each operation's reply can
// be scripted. Defaults model one programmed camera with the expected
// firmware that answers every request.
//
// The fake also keeps the books on handles: it knows which device and
// interface handles are live and counts every use of one that was never
// handed out or was already released (`misuse`).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/camera_state.h"
#include "platform/system_services.h"
#include "platform/usb_transport.h"

namespace tarncam::testing {

enum class Op {
  kFindDevice,
  kListDevices,
  kOpen,
  kClaim,
  kClose,
  kStallRecovery,
  kSetTimeout,
  kControl,
  kReadPipe,
  kWritePipe,
  kCancel,
  kSleep,
  kStartWorker,
  kSignalSemaphore,
  kShowMessage,
  kWaitForZero,
};

const char* OpName(Op op);

struct Event {
  Op op;
  uint64_t atMs = 0;          // virtual time when the operation began
  Handle handle = 0;          // device or interface handle passed, or semaphore
  Handle handle2 = 0;         // kClose: the interface handle
  SetupPacket setup{};        // kControl
  uint8_t pipe = 0;           // pipe operations
  uint32_t length = 0;        // buffer length passed
  uint32_t value = 0;         // kSleep, kSetTimeout, kWaitForZero: ms; kStartWorker: stack size
  std::vector<uint8_t> data{};  // bytes sent (control OUT, pipe write, policy value)
  std::string text{};         // kShowMessage text; kOpen path
  std::string caption{};      // kShowMessage caption
  bool ok = true;             // what the operation reported
};

class RecordingPlatform final : public UsbTransport, public SystemServices {
 public:
  RecordingPlatform();

  Platform platform() { return Platform{this, this}; }

  // ---- Script (set before the operations run) ----
  bool present = true;                        // an interface is found
  std::string path = "\\\\?\\usb#vid_fake&pid_cam#1#{guid}";
  bool openFails = false;                     // Open yields kInvalidHandle
  bool initFails = false;                     // ClaimInterface fails
  int blankOpens = 0;                         // the next N descriptor reads show a blank controller
  uint8_t serialIndex = 3;                    // descriptor byte 16 of a programmed controller
  std::optional<uint32_t> firmwareVersion = 0x0132901D;  // reply to query 99; nullopt: no answer
  uint8_t idBytes[4] = {0x11, 0x22, 0x33, 0x44};        // replies of request 0x26, index 1..4
  bool controlFails = false;                  // every control transfer fails
  bool writeFails = false;                    // every pipe write fails
  // What failures report: a failed open, claim, control transfer and read.
  UsbResult openFailure = UsbResult::Fail(UsbStatus::kNoDevice);
  UsbResult claimFailure = UsbResult::Fail(UsbStatus::kIo);
  UsbResult controlFailure = UsbResult::Fail(UsbStatus::kStall);
  UsbResult readFailure = UsbResult::Fail(UsbStatus::kTimeout);

  // Per-read results, consumed in order; when empty, reads succeed. A read
  // fills the buffer through `frameSource` when it is set.
  std::deque<bool> readResults;
  std::function<void(uint8_t* buffer, uint32_t length)> frameSource;

  // Full control over a reply, overriding the defaults above. Return nullopt
  // to fall back to the default behaviour.
  std::function<std::optional<bool>(const SetupPacket&, uint8_t* data, uint32_t length)> onControl;
  // Called inside ReadPipe before it completes (may block, e.g. on a gate).
  std::function<void()> onRead;

  // Worker threads: started for real (detached) unless startFails.
  bool startFails = false;

  // ---- Inspection ----
  std::vector<Event> Log() const;
  std::vector<Event> Log(Op op) const;  // only operations of one kind
  std::vector<Event> Controls() const { return Log(Op::kControl); }
  std::vector<uint32_t> SleepsMs() const;
  void ClearLog();
  uint64_t NowMs() const { return clockMs.load(); }

  int liveDevices() const;
  int liveInterfaces() const;
  int misuse() const { return misuseCount.load(); }
  int semaphoreReleases() const { return releases.load(); }
  int workersStarted() const { return started.load(); }
  int workersFinished() const { return finished.load(); }
  // Blocks until `n` workers have returned (real time, bounded).
  bool WaitForWorkers(int n, int timeoutMs = 10000);
  // Moves the virtual clock on, as a sleep on another thread would.
  void AdvanceClock(uint64_t ms);
  // Blocks until `n` threads wait in WaitForZero (real time, bounded).
  bool WaitForFlagWaiters(int n, int timeoutMs = 10000);

  // ---- UsbTransport ----
  bool FindFirstDevice(char* dest, uint32_t capacity) override;
  uint32_t ListDevices(DeviceInfo* out, uint32_t capacity) override;
  Handle Open(const char* path, UsbResult* why) override;
  UsbResult ClaimInterface(Handle device, Handle* usb) override;
  void Close(Handle device, Handle usb) override;
  UsbResult EnableStallRecovery(Handle usb, uint8_t pipe) override;
  UsbResult SetTransferTimeout(Handle usb, uint8_t pipe, uint32_t ms) override;
  UsbResult ControlTransfer(Handle usb, const SetupPacket& setup, uint8_t* data,
                            uint32_t length) override;
  UsbResult ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                     uint32_t* transferred) override;
  UsbResult WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                      uint32_t* transferred) override;
  void CancelTransfers(Handle usb) override;

  // ---- SystemServices ----
  void SleepAlertable(uint32_t ms) override;
  std::uintptr_t StartWorker(ThreadEntry entry, uint32_t stackSize, void* arg) override;
  uint32_t SignalSemaphore(Handle semaphore) override;
  void ShowMessage(const char* text, const char* caption) override;
  uint64_t MonotonicNs() override { return clockMs.load() * 1'000'000; }
  int64_t UtcNs() override {
    return kUtcOriginNs + static_cast<int64_t>(clockMs.load()) * 1'000'000;
  }
  // Blocks for real until the flag clears or the virtual clock passes the
  // wait's end (moved by sleeps on other threads or AdvanceClock).
  bool WaitForZero(const std::atomic<uint32_t>& flag, uint32_t timeoutMs) override;
  void WakeFlagWaiters(const std::atomic<uint32_t>& flag) override;

  static constexpr int64_t kUtcOriginNs = 1767225600LL * 1'000'000'000;  // 2026-01-01
  std::atomic<uint64_t> clockMs{0};

 private:
  void Record(Event e);
  void CheckInterface(Handle usb);

  mutable std::mutex mu;
  std::condition_variable workersCv;  // also wakes flag waits
  int flagWaiters = 0;
  std::vector<Event> log;
  std::set<Handle> devices;
  std::set<Handle> interfaces;
  Handle nextHandle = 0x1000;
  std::atomic<int> misuseCount{0};
  std::atomic<int> releases{0};
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
};

// A fresh camera on the fake: heap state (2.4 MB) with its initial values.
struct FakeCamera {
  RecordingPlatform fake;
  Platform platform{&fake, &fake};
  std::unique_ptr<CameraState> state = std::make_unique<CameraState>();
  Camera cam{*state, platform};
};

// Small conveniences for reading controls in tests.
std::vector<uint8_t> Bytes(std::initializer_list<int> v);

}  // namespace tarncam::testing
