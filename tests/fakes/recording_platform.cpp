#include "fakes/recording_platform.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/path_copy.h"
#include "usb/requests.h"

namespace tarncam::testing {

const char* OpName(Op op) {
  switch (op) {
    case Op::kFindDevice: return "FindDevice";
    case Op::kListDevices: return "ListDevices";
    case Op::kOpen: return "Open";
    case Op::kClaim: return "Claim";
    case Op::kClose: return "Close";
    case Op::kStallRecovery: return "StallRecovery";
    case Op::kSetTimeout: return "SetTimeout";
    case Op::kCancel: return "Cancel";
    case Op::kControl: return "Control";
    case Op::kReadPipe: return "ReadPipe";
    case Op::kWritePipe: return "WritePipe";
    case Op::kSleep: return "Sleep";
    case Op::kStartWorker: return "StartWorker";
    case Op::kSignalSemaphore: return "SignalSemaphore";
    case Op::kShowMessage: return "ShowMessage";
    case Op::kWaitForZero: return "WaitForZero";
  }
  return "?";
}

std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}

RecordingPlatform::RecordingPlatform() = default;

void RecordingPlatform::Record(Event e) {
  std::lock_guard lock(mu);
  log.push_back(std::move(e));
}

std::vector<Event> RecordingPlatform::Log() const {
  std::lock_guard lock(mu);
  return log;
}

std::vector<Event> RecordingPlatform::Log(Op op) const {
  std::lock_guard lock(mu);
  std::vector<Event> out;
  for (const Event& e : log)
    if (e.op == op) out.push_back(e);
  return out;
}

std::vector<uint32_t> RecordingPlatform::SleepsMs() const {
  std::vector<uint32_t> out;
  for (const Event& e : Log(Op::kSleep)) out.push_back(e.value);
  return out;
}

void RecordingPlatform::ClearLog() {
  std::lock_guard lock(mu);
  log.clear();
}

int RecordingPlatform::liveDevices() const {
  std::lock_guard lock(mu);
  return static_cast<int>(devices.size());
}

int RecordingPlatform::liveInterfaces() const {
  std::lock_guard lock(mu);
  return static_cast<int>(interfaces.size());
}

void RecordingPlatform::CheckInterface(Handle usb) {
  std::lock_guard lock(mu);
  if (interfaces.count(usb) == 0) ++misuseCount;
}

bool RecordingPlatform::WaitForWorkers(int n, int timeoutMs) {
  std::unique_lock lock(mu);
  return workersCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return finished.load() >= n; });
}

// ---- UsbTransport -----------------------------------------------------------

bool RecordingPlatform::FindFirstDevice(char* dest, uint32_t capacity) {
  Event e{Op::kFindDevice};
  e.atMs = clockMs;
  e.ok = present;
  Record(e);
  if (!present) return false;
  CopyPathBounded(path.c_str(), dest, capacity);
  return true;
}

uint32_t RecordingPlatform::ListDevices(DeviceInfo* out, uint32_t capacity) {
  Event e{Op::kListDevices};
  e.atMs = clockMs;
  Record(e);
  if (!present) return 0;
  if (capacity >= 1) {
    out[0] = DeviceInfo{};
    CopyPathBounded(path.c_str(), out[0].path, sizeof out[0].path);
    out[0].blank = -1;
  }
  return 1;
}

Handle RecordingPlatform::Open(const char* p, UsbResult* why) {
  Event e{Op::kOpen};
  e.atMs = clockMs;
  e.text = p;
  e.ok = !openFails;
  Handle h = kInvalidHandle;
  if (!openFails) {
    std::lock_guard lock(mu);
    h = nextHandle++;
    devices.insert(h);
  }
  e.handle = h;
  Record(e);
  if (why != nullptr) *why = openFails ? openFailure : UsbResult::Ok();
  return h;
}

UsbResult RecordingPlatform::ClaimInterface(Handle device, Handle* usb) {
  Event e{Op::kClaim};
  e.atMs = clockMs;
  e.handle = device;
  bool ok = false;
  {
    std::lock_guard lock(mu);
    ok = !initFails && devices.count(device) != 0;
    if (ok) {
      *usb = nextHandle++;
      interfaces.insert(*usb);
    }
  }
  e.ok = ok;
  Record(e);
  return ok ? UsbResult::Ok() : claimFailure;
}

void RecordingPlatform::Close(Handle device, Handle usb) {
  Event e{Op::kClose};
  e.atMs = clockMs;
  e.handle = device;
  e.handle2 = usb;
  {
    std::lock_guard lock(mu);
    if (device != kInvalidHandle && devices.erase(device) == 0) ++misuseCount;
    if (usb != kInvalidHandle && interfaces.erase(usb) == 0) ++misuseCount;
  }
  Record(e);
}

UsbResult RecordingPlatform::EnableStallRecovery(Handle usb, uint8_t pipe) {
  CheckInterface(usb);
  Event e{Op::kStallRecovery};
  e.atMs = clockMs;
  e.handle = usb;
  e.pipe = pipe;
  Record(e);
  return UsbResult::Ok();
}

UsbResult RecordingPlatform::SetTransferTimeout(Handle usb, uint8_t pipe, uint32_t ms) {
  CheckInterface(usb);
  Event e{Op::kSetTimeout};
  e.atMs = clockMs;
  e.handle = usb;
  e.pipe = pipe;
  e.value = ms;
  Record(e);
  return UsbResult::Ok();
}

void RecordingPlatform::CancelTransfers(Handle usb) {
  Event e{Op::kCancel};
  e.atMs = clockMs;
  e.handle = usb;
  Record(e);
}

UsbResult RecordingPlatform::ControlTransfer(Handle usb, const SetupPacket& setup, uint8_t* data,
                                             uint32_t length) {
  CheckInterface(usb);
  Event e{Op::kControl};
  e.atMs = clockMs;
  e.handle = usb;
  e.setup = setup;
  e.length = length;
  const bool in = (setup.requestType & 0x80) != 0;
  if (!in && data != nullptr) e.data.assign(data, data + length);

  bool ok = true;
  std::optional<bool> scripted;
  if (onControl) scripted = onControl(setup, data, length);
  if (scripted) {
    ok = *scripted;
  } else if (controlFails) {
    ok = false;
  } else if (setup.requestType == kStandardIn && setup.request == kReqGetDescriptor) {
    uint8_t desc[18] = {18, 1, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, 0x34, 0x12, 0x78, 0x56,
                        0x00, 0x01, 1, 2, serialIndex, 1};
    {
      std::lock_guard lock(mu);
      if (blankOpens > 0) {
        desc[16] = 0;
        --blankOpens;
      }
    }
    std::memcpy(data, desc, std::min<uint32_t>(length, sizeof desc));
  } else if (setup.requestType == kVendorIn && setup.request == kReqQuery &&
             setup.index == kVersionQuery) {
    if (firmwareVersion) {
      const uint32_t v = *firmwareVersion;
      const uint8_t le[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
      std::memcpy(data, le, std::min<uint32_t>(length, 4));
    } else {
      ok = false;
    }
  } else if (setup.requestType == kVendorIn && setup.request == kReqIdentify &&
             setup.index >= 1 && setup.index <= 4 && length >= 1) {
    data[0] = idBytes[setup.index - 1];
  }
  e.ok = ok;
  Record(e);
  return ok ? UsbResult::Ok() : controlFailure;
}

UsbResult RecordingPlatform::ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                                      uint32_t* transferred) {
  CheckInterface(usb);
  Event e{Op::kReadPipe};
  e.atMs = clockMs;
  e.handle = usb;
  e.pipe = pipe;
  e.length = length;
  if (onRead) onRead();
  bool ok = true;
  {
    std::lock_guard lock(mu);
    if (!readResults.empty()) {
      ok = readResults.front();
      readResults.pop_front();
    }
  }
  if (ok && frameSource) frameSource(buffer, length);
  if (transferred != nullptr) *transferred = ok ? length : 0;
  e.ok = ok;
  Record(e);
  return ok ? UsbResult::Ok() : readFailure;
}

UsbResult RecordingPlatform::WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer,
                                       uint32_t length, uint32_t* transferred) {
  CheckInterface(usb);
  Event e{Op::kWritePipe};
  e.atMs = clockMs;
  e.handle = usb;
  e.pipe = pipe;
  e.length = length;
  e.data.assign(buffer, buffer + length);
  e.ok = !writeFails;
  Record(e);
  if (transferred != nullptr) *transferred = writeFails ? 0 : length;
  return writeFails ? UsbResult::Fail(UsbStatus::kIo) : UsbResult::Ok();
}

// ---- SystemServices ---------------------------------------------------------

void RecordingPlatform::SleepAlertable(uint32_t ms) {
  Event e{Op::kSleep};
  e.atMs = clockMs.fetch_add(ms);
  e.value = ms;
  Record(e);
  std::lock_guard lock(mu);
  workersCv.notify_all();  // time moved: flag waits may be over
}

void RecordingPlatform::AdvanceClock(uint64_t ms) {
  std::lock_guard lock(mu);
  clockMs += ms;
  workersCv.notify_all();
}

bool RecordingPlatform::WaitForZero(const std::atomic<uint32_t>& flag, uint32_t timeoutMs) {
  Event e{Op::kWaitForZero};
  e.atMs = clockMs;
  e.value = timeoutMs;
  const uint64_t end = clockMs + timeoutMs;
  std::unique_lock lock(mu);
  ++flagWaiters;
  workersCv.notify_all();
  const auto clear = [&] { return flag.load() == 0; };
  workersCv.wait_for(lock, std::chrono::seconds(30), [&] { return clear() || clockMs >= end; });
  --flagWaiters;
  e.ok = clear();
  log.push_back(e);
  return e.ok;
}

void RecordingPlatform::WakeFlagWaiters(const std::atomic<uint32_t>&) {
  std::lock_guard lock(mu);
  workersCv.notify_all();
}

bool RecordingPlatform::WaitForFlagWaiters(int n, int timeoutMs) {
  std::unique_lock lock(mu);
  return workersCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return flagWaiters >= n; });
}

std::uintptr_t RecordingPlatform::StartWorker(ThreadEntry entry, uint32_t stackSize, void* arg) {
  Event e{Op::kStartWorker};
  e.atMs = clockMs;
  e.value = stackSize;
  e.ok = !startFails;
  Record(e);
  if (startFails) return kThreadStartFailed;
  ++started;
  std::thread([this, entry, arg] {
    entry(arg);
    // Notify under the lock: once a waiter sees the count it may destroy us.
    std::lock_guard lock(mu);
    ++finished;
    workersCv.notify_all();
  }).detach();
  return 0x7000 + static_cast<std::uintptr_t>(started.load());
}

uint32_t RecordingPlatform::SignalSemaphore(Handle semaphore) {
  Event e{Op::kSignalSemaphore};
  e.atMs = clockMs;
  e.handle = semaphore;
  ++releases;
  Record(e);
  return 1;
}

void RecordingPlatform::ShowMessage(const char* text, const char* caption) {
  Event e{Op::kShowMessage};
  e.atMs = clockMs;
  e.text = text;
  e.caption = caption;
  Record(e);
}

}  // namespace tarncam::testing
