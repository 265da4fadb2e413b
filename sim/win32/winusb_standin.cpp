// Stand-in winusb.dll for Wine tests of the unmodified TARNCAM32.dll: the
// six WinUSB functions the DLL imports, served by the simulated camera, plus
// the test exports of winsim.h and the host side of standin_host.h.
//
// Every argument the DLL passes is checked against its contract with WinUSB
// (pipes, policies and their values, the setup packet's length against the
// buffer's, no overlapped structure) and every call is counted and logged.
// Interface handles are the stand-in's own tokens, each tied to the camera it
// was opened on, so that a handle outliving a reconfiguration can never reach
// the new camera.
//
// Locking: one mutex guards the bookkeeping and is never held across a call
// into the camera, whose bulk read blocks for the whole exposure while the
// DLL's caller thread writes the abort byte or sends guide commands.

#include <windows.h>
#include <winusb.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sim/frame_generator.h"
#include "sim/sim_camera.h"
#include "sim/win32/device_file.h"
#include "sim/options_text.h"
#include "sim/win32/standin_host.h"
#include "sim/win32/winsim.h"
#include "usb/requests.h"

namespace winsim {
namespace {

constexpr size_t kLogLimit = 1 << 20;  // a test that never reads the log stays bounded
constexpr uint8_t kStallOn = 1;
// The WinUSB pipe policies the DLL may set.
constexpr ULONG kAutoClearStall = 2;
constexpr ULONG kPipeTransferTimeout = 3;
constexpr uint32_t kReadTimeoutMargin = 1000;  // the DLL waits exposure + this long

// One simulated camera on the real clock: under Wine the DLL's waits are
// real, so the camera's must be too.
struct Rig {
  sim::RealClock clock;
  std::unique_ptr<sim::SimCamera> camera;
};

struct Interface {
  std::shared_ptr<Rig> rig;
  tarncam::Handle device;
  tarncam::Handle usb;
  uint8_t nextStallPipe;  // the open sets AUTO_CLEAR_STALL on 0x82, then 0x01
};

class Host {
 public:
  std::shared_ptr<Rig> Camera();
  int Configure(const char* text);

  // Looks up an interface token; false (and a violation) for an unknown one.
  bool Find(WINUSB_INTERFACE_HANDLE token, const char* call, Interface* out);

  void Violation(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void ViolationLocked(const char* text);
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void LogFirmwareRecord();

  // Counts the threads inside the stand-in: a read pending while the abort
  // arrives shows up as two.
  class Inside {
   public:
    explicit Inside(Host& h) : host(h) {
      std::lock_guard<std::mutex> g(host.mu);
      ++host.inside;
      host.stats.max_threads_inside =
          std::max<uint32_t>(host.stats.max_threads_inside, static_cast<uint32_t>(host.inside));
    }
    ~Inside() {
      std::lock_guard<std::mutex> g(host.mu);
      --host.inside;
    }

   private:
    Host& host;
  };

  std::mutex mu;
  std::shared_ptr<Rig> rig;
  std::map<uintptr_t, Interface> interfaces;
  uintptr_t nextToken = 0x7A5C0000;
  tarncam_winsim_stats stats{};
  bool programSeen = false;
  bool missingFile = false;  // enumerate a device path that does not exist
  std::string log;
  size_t firmwareEntryAt = std::string::npos;  // where the running "firmware N;" entry starts
  uint32_t firmwareRecords = 0;
  int inside = 0;
  DeviceFile file;  // its path is made under mu, then only read

 private:
  std::shared_ptr<Rig> MakeRig(const sim::Options& o);
  void AppendLocked(const std::string& entry);
};

// Never destroyed: at process exit a detached readout thread may have been
// killed inside the camera, and tearing the camera down would wait for it.
Host& TheHost() {
  static Host* host = new Host;
  return *host;
}

// The simulator's options plus the stand-ins' own: device_file=missing makes
// the enumeration name a path that does not exist, so that the DLL's
// CreateFileA fails and WinUsb_Initialize receives INVALID_HANDLE_VALUE.
bool ParseConfiguration(const std::string& text, sim::Options* o, bool* missingFile,
                        std::string* error) {
  std::string simText = text;
  std::string file;
  *missingFile = false;
  if (sim::TakeOption(&simText, "device_file", &file)) {
    if (file != "missing" && file != "present") {
      *error = "bad value '" + file + "' for device_file";
      return false;
    }
    *missingFile = file == "missing";
  }
  return sim::ParseOptions(simText, o, error);
}

std::shared_ptr<Rig> Host::MakeRig(const sim::Options& o) {
  auto r = std::make_shared<Rig>();
  r->camera = std::make_unique<sim::SimCamera>(o, r->clock);
  return r;
}

std::shared_ptr<Rig> Host::Camera() {
  std::lock_guard<std::mutex> g(mu);
  if (!rig) {
    sim::Options o = sim::DefaultOptions();
    const char* env = std::getenv("TARNCAM_SIM");
    std::string error;
    if (env != nullptr && !ParseConfiguration(env, &o, &missingFile, &error)) {
      ViolationLocked(("TARNCAM_SIM: " + error).c_str());
      o = sim::DefaultOptions();
    }
    rig = MakeRig(o);
  }
  return rig;
}

int Host::Configure(const char* text) {
  sim::Options o;
  std::string error;
  bool missing = false;
  if (text == nullptr || !ParseConfiguration(text, &o, &missing, &error)) return -1;
  std::shared_ptr<Rig> fresh = MakeRig(o);
  std::shared_ptr<Rig> old;
  {
    std::lock_guard<std::mutex> g(mu);
    old = rig;
  }
  // Ends any read still pending on the old camera; its later calls fail.
  if (old) old->camera->Shutdown();
  {
    std::lock_guard<std::mutex> g(mu);
    rig = std::move(fresh);
    missingFile = missing;
    stats = tarncam_winsim_stats{};
    programSeen = false;
    log.clear();
    firmwareEntryAt = std::string::npos;
    // Interfaces of the old camera stay valid tokens (the DLL may still free
    // them) but reach only the old camera, shut down above.
    stats.interfaces_alive = static_cast<int32_t>(interfaces.size());
  }
  return 0;
}

bool Host::Find(WINUSB_INTERFACE_HANDLE token, const char* call, Interface* out) {
  std::lock_guard<std::mutex> g(mu);
  auto it = interfaces.find(reinterpret_cast<uintptr_t>(token));
  if (it == interfaces.end()) {
    char text[128];
    std::snprintf(text, sizeof text, "%s on an unknown interface handle %p", call, token);
    ViolationLocked(text);
    return false;
  }
  *out = it->second;
  return true;
}

void Host::ViolationLocked(const char* text) {
  if (stats.violations++ == 0) {
    std::snprintf(stats.first_violation, sizeof stats.first_violation, "%s", text);
  }
}

void Host::Violation(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> g(mu);
  ViolationLocked(text);
}

void Host::AppendLocked(const std::string& entry) {
  firmwareEntryAt = std::string::npos;
  if (log.size() + entry.size() + 1 <= kLogLimit) log += entry + ";";
}

void Host::Log(const char* format, ...) {
  char text[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> g(mu);
  AppendLocked(text);
}

void Host::LogFirmwareRecord() {
  // A download is hundreds of transfers: one entry counts them.
  std::lock_guard<std::mutex> g(mu);
  if (firmwareEntryAt == std::string::npos) {
    firmwareRecords = 0;
    firmwareEntryAt = log.size();
  } else {
    log.resize(firmwareEntryAt);
  }
  ++firmwareRecords;
  log += "firmware " + std::to_string(firmwareRecords) + ";";
}

bool IsInvalid(HANDLE h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }

// The error WinUSB leaves for a failed transfer, as the library's Win32
// backend reads it back: a stalled pipe is a general failure, a camera gone
// from the bus is not connected. (Every failure used to say timeout, so a
// stall or an unplug looked like a slow camera under Wine.)
void SetLastErrorFor(const tarncam::UsbResult& r) {
  switch (r.status) {
    case tarncam::UsbStatus::kTimeout: SetLastError(ERROR_SEM_TIMEOUT); break;
    case tarncam::UsbStatus::kNoDevice: SetLastError(ERROR_DEVICE_NOT_CONNECTED); break;
    case tarncam::UsbStatus::kCancelled: SetLastError(ERROR_OPERATION_ABORTED); break;
    // WinUSB keeps what does not fit for the next read (ALLOW_PARTIAL_READS,
    // on by default); the simulated camera cannot, so it says so plainly.
    case tarncam::UsbStatus::kOverflow: SetLastError(ERROR_MORE_DATA); break;
    default: SetLastError(ERROR_GEN_FAILURE); break;
  }
}

}  // namespace
}  // namespace winsim

using winsim::TheHost;

extern "C" {

// ---------------------------------------------------------------------------
// WinUSB

WINBOOL WINAPI WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE out) {
  winsim::Host& host = TheHost();
  winsim::Host::Inside inside(host);
  host.Log("init");
  {
    std::lock_guard<std::mutex> g(host.mu);
    ++host.stats.initializes;
    if (winsim::IsInvalid(device)) ++host.stats.initialize_invalid;
  }
  // The DLL stores CreateFileA's result untested: a failed open arrives here.
  if (winsim::IsInvalid(device)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (out == nullptr) {
    host.Violation("WinUsb_Initialize without a place for the interface handle");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string problem;
  if (!host.file.Check(device, &problem)) {
    host.Violation("WinUsb_Initialize on a handle that is not the device file's");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!problem.empty()) host.Violation("%s", problem.c_str());

  std::shared_ptr<winsim::Rig> rig = host.Camera();
  char simPath[64];
  if (!rig->camera->FindFirstDevice(simPath, sizeof simPath)) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);  // gone since the enumeration
    return FALSE;
  }
  const tarncam::Handle simDevice = rig->camera->Open(simPath, nullptr);
  tarncam::Handle simUsb = tarncam::kInvalidHandle;
  if (simDevice == tarncam::kInvalidHandle ||
      !rig->camera->ClaimInterface(simDevice, &simUsb).ok()) {
    rig->camera->Close(simDevice, tarncam::kInvalidHandle);
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(host.mu);
  const uintptr_t token = host.nextToken;
  host.nextToken += 0x10;
  host.interfaces[token] = winsim::Interface{rig, simDevice, simUsb, tarncam::kPipeIn};
  ++host.stats.interfaces_alive;
  *out = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(token);
  return TRUE;
}

WINBOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE usb) {
  winsim::Host& host = TheHost();
  winsim::Host::Inside inside(host);
  host.Log("free");
  winsim::Interface i;
  {
    std::lock_guard<std::mutex> g(host.mu);
    ++host.stats.frees;
  }
  if (!host.Find(usb, "WinUsb_Free", &i)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  i.rig->camera->Close(i.device, i.usb);
  std::lock_guard<std::mutex> g(host.mu);
  host.interfaces.erase(reinterpret_cast<uintptr_t>(usb));
  --host.stats.interfaces_alive;
  return TRUE;
}

WINBOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, ULONG policy,
                                    ULONG length, PVOID value) {
  winsim::Host& host = TheHost();
  winsim::Host::Inside inside(host);
  uint32_t v = 0;
  if (value != nullptr && (length == 1 || length == 4)) std::memcpy(&v, value, length);
  host.Log("policy %02x %lu %lu", pipe, static_cast<unsigned long>(policy),
           static_cast<unsigned long>(v));
  winsim::Interface i;
  if (!host.Find(usb, "WinUsb_SetPipePolicy", &i)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (policy == winsim::kAutoClearStall) {
    if (length != 1 || value == nullptr || v != winsim::kStallOn)
      host.Violation("AUTO_CLEAR_STALL on pipe %02x with length %lu value %lu", pipe,
                     static_cast<unsigned long>(length), static_cast<unsigned long>(v));
    std::lock_guard<std::mutex> g(host.mu);
    ++host.stats.stall_policies;
    auto it = host.interfaces.find(reinterpret_cast<uintptr_t>(usb));
    if (it == host.interfaces.end()) return FALSE;  // freed meanwhile by another thread
    uint8_t& next = it->second.nextStallPipe;
    if (pipe != next) {
      char text[96];
      std::snprintf(text, sizeof text, "AUTO_CLEAR_STALL on pipe %02x where %02x was due", pipe,
                    next);
      host.ViolationLocked(text);
    }
    next = pipe == tarncam::kPipeIn ? tarncam::kPipeOut : 0;
  } else if (policy == winsim::kPipeTransferTimeout) {
    if (pipe != tarncam::kPipeIn || length != 4 || value == nullptr)
      host.Violation("PIPE_TRANSFER_TIMEOUT on pipe %02x with length %lu", pipe,
                     static_cast<unsigned long>(length));
    std::lock_guard<std::mutex> g(host.mu);
    ++host.stats.timeout_policies;
    host.stats.last_timeout_ms = v;
    // The timeout follows the exposure the camera was last programmed with.
    if (host.programSeen && v != host.stats.last_program_ms + winsim::kReadTimeoutMargin) {
      char text[96];
      std::snprintf(text, sizeof text, "read timeout %lu ms after programming %lu ms",
                    static_cast<unsigned long>(v),
                    static_cast<unsigned long>(host.stats.last_program_ms));
      host.ViolationLocked(text);
    }
  } else {
    host.Violation("pipe policy %lu set on pipe %02x", static_cast<unsigned long>(policy), pipe);
  }
  const tarncam::UsbResult r = policy == winsim::kPipeTransferTimeout
                                   ? i.rig->camera->SetTransferTimeout(i.usb, pipe, v)
                                   : i.rig->camera->EnableStallRecovery(i.usb, pipe);
  return r.ok() ? TRUE : FALSE;
}

WINBOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE usb, WINUSB_SETUP_PACKET packet,
                                      PUCHAR buffer, ULONG length, PULONG transferred,
                                      LPOVERLAPPED overlapped) {
  winsim::Host& host = TheHost();
  winsim::Host::Inside inside(host);
  if (packet.Request == tarncam::kReqFirmwareLoad && packet.Value != tarncam::kCpuControlRegister)
    host.LogFirmwareRecord();
  else
    host.Log("ctl %02x %02x %04x %04x %u", packet.RequestType, packet.Request, packet.Value,
             packet.Index, packet.Length);
  {
    std::lock_guard<std::mutex> g(host.mu);
    ++host.stats.control_transfers;
    if (packet.RequestType == tarncam::kVendorOut && packet.Request == tarncam::kReqProgram) {
      host.stats.last_program_ms = packet.Value | (uint32_t{packet.Index} << 16);
      host.programSeen = true;
    }
  }
  if (overlapped != nullptr) host.Violation("WinUsb_ControlTransfer with an OVERLAPPED");
  if (length != packet.Length || (length != 0 && buffer == nullptr))
    host.Violation("control request %02x: buffer length %lu, setup length %u", packet.Request,
                   static_cast<unsigned long>(length), packet.Length);
  winsim::Interface i;
  if (!host.Find(usb, "WinUsb_ControlTransfer", &i)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const tarncam::SetupPacket setup{packet.RequestType, packet.Request, packet.Value, packet.Index,
                                   packet.Length};
  const tarncam::UsbResult r = i.rig->camera->ControlTransfer(i.usb, setup, buffer, length);
  if (transferred != nullptr) *transferred = r.ok() ? length : 0;
  if (!r.ok()) winsim::SetLastErrorFor(r);
  return r.ok() ? TRUE : FALSE;
}

WINBOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, PUCHAR buffer, ULONG length,
                               PULONG transferred, LPOVERLAPPED overlapped) {
  winsim::Host& host = TheHost();
  winsim::Host::Inside inside(host);
  host.Log("read %02x %lu", pipe, static_cast<unsigned long>(length));
  if (overlapped != nullptr) host.Violation("WinUsb_ReadPipe with an OVERLAPPED");
  if (pipe != tarncam::kPipeIn) host.Violation("WinUsb_ReadPipe on pipe %02x", pipe);
  winsim::Interface i;
  if (!host.Find(usb, "WinUsb_ReadPipe", &i)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    const uint64_t frame = i.rig->camera->Sensor().FrameBytes();
    std::lock_guard<std::mutex> g(host.mu);
    ++host.stats.reads;
    host.stats.last_read_length = length;
    host.stats.last_frame_bytes = static_cast<uint32_t>(frame);
    host.stats.last_read_thread = GetCurrentThreadId();
  }
  uint32_t n = 0;
  const tarncam::UsbResult r = i.rig->camera->ReadPipe(i.usb, pipe, buffer, length, &n);
  if (transferred != nullptr) *transferred = n;
  {
    std::lock_guard<std::mutex> g(host.mu);
    if (!r.ok()) ++host.stats.read_failures;
  }
  if (!r.ok()) winsim::SetLastErrorFor(r);
  return r.ok() ? TRUE : FALSE;
}

WINBOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, PUCHAR buffer,
                                ULONG length, PULONG transferred, LPOVERLAPPED overlapped) {
  winsim::Host& host = TheHost();
  winsim::Host::Inside inside(host);
  host.Log("write %02x %02x", pipe, buffer != nullptr && length > 0 ? buffer[0] : 0);
  {
    std::lock_guard<std::mutex> g(host.mu);
    ++host.stats.writes;
  }
  if (overlapped != nullptr) host.Violation("WinUsb_WritePipe with an OVERLAPPED");
  // The only thing the DLL ever writes is the one-byte abort on pipe 0x01.
  if (pipe != tarncam::kPipeOut || length != 1 || buffer == nullptr ||
      buffer[0] != tarncam::kAbortByte)
    host.Violation("WinUsb_WritePipe on pipe %02x, %lu bytes", pipe,
                   static_cast<unsigned long>(length));
  winsim::Interface i;
  if (!host.Find(usb, "WinUsb_WritePipe", &i)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  uint32_t n = 0;
  const tarncam::UsbResult r = i.rig->camera->WritePipe(i.usb, pipe, buffer, length, &n);
  if (transferred != nullptr) *transferred = n;
  if (!r.ok()) winsim::SetLastErrorFor(r);
  return r.ok() ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Test exports (winsim.h)

int __stdcall TarncamSimConfigure(const char* options) { return TheHost().Configure(options); }

int __stdcall TarncamSimStats(tarncam_winsim_stats* out) {
  if (out == nullptr || out->struct_size != sizeof(tarncam_winsim_stats)) return -1;
  winsim::Host& host = TheHost();
  const std::shared_ptr<winsim::Rig> rig = host.Camera();
  const tarncam_sim_stats cam = rig->camera->Stats();
  // The camera's own view: a read counts as pending only once the camera
  // would act on an abort, so a test that waits for this cannot race it.
  const bool pending = rig->camera->WaitForPendingRead(0, 0);
  std::lock_guard<std::mutex> g(host.mu);
  *out = host.stats;
  out->struct_size = sizeof *out;
  out->frames = cam.frames;
  out->aborts = cam.aborts;
  out->firmware_downloads = cam.firmware_downloads;
  out->programmings = cam.programmings;
  out->guide_offset_x = cam.guide_offset_x;
  out->guide_offset_y = cam.guide_offset_y;
  out->programmed = cam.programmed;
  out->present = cam.present;
  out->read_pending = pending ? 1 : 0;
  return 0;
}

uint32_t __stdcall TarncamSimTakeLog(char* text, uint32_t capacity) {
  winsim::Host& host = TheHost();
  std::lock_guard<std::mutex> g(host.mu);
  const uint32_t full = static_cast<uint32_t>(host.log.size());
  if (text != nullptr && capacity > 0) {
    const size_t n = std::min<size_t>(capacity - 1, host.log.size());
    std::memcpy(text, host.log.data(), n);
    text[n] = '\0';
  }
  host.log.clear();
  host.firmwareEntryAt = std::string::npos;
  return full;
}

int __stdcall TarncamSimDevice(const char* command) {
  using Next = sim::SimCamera::NextRead;
  if (command == nullptr) return -1;
  sim::SimCamera& cam = *TheHost().Camera()->camera;
  const std::string c = command;
  if (c == "hold" || c == "release") {
    cam.HoldReads(c == "hold");
  } else if (c == "pending") {
    return cam.WaitForPendingRead(0, 10000) ? 1 : 0;
  } else if (c == "stall" || c == "short" || c == "zero-length") {
    cam.ShapeNextRead(c == "stall" ? Next::kStall : c == "short" ? Next::kShort : Next::kZeroLength);
  } else if (c == "unplug") {
    cam.SetPresent(false);
  } else if (c == "frame-bytes") {
    return static_cast<int>(cam.Sensor().FrameBytes());
  } else {
    return -1;
  }
  return 0;
}

uint32_t __stdcall TarncamSimTestPattern(uint32_t row, uint32_t column, int tenBit) {
  return sim::TestPatternSample(row, column, tenBit != 0);
}

// ---------------------------------------------------------------------------
// Host side for the setupapi.dll stand-in (standin_host.h)

int __stdcall TarncamSimHostFindInterface(const void* guid, char* path, uint32_t capacity) {
  winsim::Host& host = TheHost();
  tarncam::Guid g;
  std::memcpy(&g, guid, sizeof g);
  char simPath[64];
  // Only the camera's own device interface class is answered.
  if (!(g == tarncam::kInterfaceGuid)) return 0;
  if (!host.Camera()->camera->FindFirstDevice(simPath, sizeof simPath)) return 0;
  std::string file;
  {
    std::lock_guard<std::mutex> lock(host.mu);  // the file is made at first use
    file = host.file.Path();
    if (host.missingFile && !file.empty()) file += ".missing";
  }
  if (file.empty() || capacity == 0) return 0;
  const size_t n = std::min<size_t>(capacity - 1, file.size());
  std::memcpy(path, file.data(), n);
  path[n] = '\0';
  return 1;
}

void __stdcall TarncamSimHostNote(uint32_t counter, int32_t delta, const char* logEntry,
                                  const char* violation) {
  winsim::Host& host = TheHost();
  if (logEntry != nullptr) host.Log("%s", logEntry);
  if (violation != nullptr) host.Violation("%s", violation);
  std::lock_guard<std::mutex> g(host.mu);
  tarncam_winsim_stats& s = host.stats;
  using C = winsim::SetupCounter;
  switch (static_cast<C>(counter)) {
    case C::kClassDevs:
      s.class_devs += delta;
      break;
    case C::kEnumInterfaces:
      s.enum_interfaces += delta;
      break;
    case C::kDetailQueries:
      s.detail_queries += delta;
      break;
    case C::kDetailFetches:
      s.detail_fetches += delta;
      break;
    case C::kDestroys:
      s.destroys += delta;
      break;
    case C::kSetsAlive:
      s.sets_alive += delta;
      break;
  }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  // The device file goes with the process; the camera is left alone (see
  // TheHost).
  if (reason == DLL_PROCESS_DETACH) TheHost().file.Remove();
  return TRUE;
}

}  // extern "C"
