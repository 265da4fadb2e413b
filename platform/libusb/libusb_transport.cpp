#include "platform/libusb/libusb_transport.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/libusb/device_choice.h"
#include "platform/path_copy.h"

namespace tarncam {
namespace {

// The camera's one interface, holding both bulk pipes.
constexpr int kInterface = 0;
// libusb has no per-pipe default; these match what WinUSB applies to the
// control pipe, and bound a bulk write on a pipe the library set no timeout
// for (a camera that never takes the abort byte must not hang the caller).
constexpr unsigned kControlTimeoutMs = 5000;
constexpr unsigned kWriteTimeoutMs = 5000;
// Hubs nest at most seven deep below the root.
constexpr int kMaxPortDepth = 7;
// How long a transfer error may wait to learn whether the device is leaving
// the bus (the hub tells the system a little after the transfer failed).
constexpr auto kDepartureWait = std::chrono::milliseconds(500);
constexpr auto kDeparturePoll = std::chrono::milliseconds(10);

UsbStatus FromError(int error) {
  switch (error) {
    case LIBUSB_SUCCESS: return UsbStatus::kOk;
    case LIBUSB_ERROR_ACCESS: return UsbStatus::kAccess;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND: return UsbStatus::kNoDevice;
    case LIBUSB_ERROR_BUSY: return UsbStatus::kBusy;
    case LIBUSB_ERROR_TIMEOUT: return UsbStatus::kTimeout;
    case LIBUSB_ERROR_OVERFLOW: return UsbStatus::kOverflow;
    case LIBUSB_ERROR_PIPE: return UsbStatus::kStall;
    case LIBUSB_ERROR_INTERRUPTED: return UsbStatus::kCancelled;
    case LIBUSB_ERROR_NO_MEM: return UsbStatus::kNoMemory;
    default: return UsbStatus::kIo;
  }
}

UsbResult Result(int error) {
  return error == LIBUSB_SUCCESS ? UsbResult::Ok() : UsbResult::Fail(FromError(error), error);
}

UsbResult FromTransfer(const libusb_transfer& t) {
  UsbStatus s = UsbStatus::kIo;
  switch (t.status) {
    case LIBUSB_TRANSFER_COMPLETED: return UsbResult::Ok();
    case LIBUSB_TRANSFER_TIMED_OUT: s = UsbStatus::kTimeout; break;
    case LIBUSB_TRANSFER_CANCELLED: s = UsbStatus::kCancelled; break;
    case LIBUSB_TRANSFER_STALL: s = UsbStatus::kStall; break;
    case LIBUSB_TRANSFER_NO_DEVICE: s = UsbStatus::kNoDevice; break;
    case LIBUSB_TRANSFER_OVERFLOW: s = UsbStatus::kOverflow; break;
    case LIBUSB_TRANSFER_ERROR: break;
  }
  // A transfer status is not a libusb error code: keep it apart (negated
  // below the error codes' range) so a reader of osError can tell.
  return UsbResult::Fail(s, -100 - static_cast<int32_t>(t.status));
}

// Pipe settings are kept per endpoint address: 0x01..0x0F out, 0x81..0x8F in.
int PipeSlot(uint8_t pipe) { return (pipe & 0x0F) | ((pipe & 0x80) != 0 ? 16 : 0); }

// One opened device. What the library set on its pipes, and the transfers in
// flight on it so that CancelTransfers can reach them.
struct Device {
  explicit Device(libusb_device_handle* h) : handle(h) {}
  ~Device() {
    if (claimed) libusb_release_interface(handle, kInterface);
    libusb_close(handle);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  libusb_device_handle* const handle;
  std::mutex mu;  // guards the fields below
  bool claimed = false;
  bool refusingBulk = false;  // after CancelForClose: no new bulk transfer starts
  std::set<libusb_transfer*> pending;
  uint32_t timeoutMs[32] = {};
  bool stallRecovery[32] = {};
};

struct TransferDeleter {
  void operator()(libusb_transfer* t) const { libusb_free_transfer(t); }
};
using Transfer = std::unique_ptr<libusb_transfer, TransferDeleter>;

// A present device of the camera's identity, referenced until released.
struct Present {
  libusb_device* device = nullptr;
  uint8_t bus = 0;
  uint8_t address = 0;
  std::vector<uint8_t> ports;
  libusb_device_descriptor descriptor{};

  std::string Location() const {
    return FormatLocation(bus, ports.data(), static_cast<int>(ports.size()));
  }
};

// A camera pulled out mid-transfer fails that transfer with a plain
// transfer error first; the system notices it has gone only a little later.
// Waits, briefly, to tell the two apart: the library gives up on a camera
// that is gone, but retries a transfer that failed.
bool Departed(libusb_device_handle* h) {
  const auto until = std::chrono::steady_clock::now() + kDepartureWait;
  for (;;) {
    // A question the system answers without the device: whether a driver
    // is bound to its interface. Unanswerable where libusb cannot ask.
    const int r = libusb_kernel_driver_active(h, kInterface);
    if (r == LIBUSB_ERROR_NO_DEVICE) return true;
    if (r < 0 || std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(kDeparturePoll);
  }
}

void Release(std::vector<Present>& found) {
  for (Present& p : found) libusb_unref_device(p.device);
  found.clear();
}

// The serial-number string, read from the device (the one enumeration step
// that needs it opened); "" when it has none or cannot be asked.
std::string SerialOf(const Present& p) {
  if (p.descriptor.iSerialNumber == 0) return "";
  libusb_device_handle* h = nullptr;
  if (libusb_open(p.device, &h) != LIBUSB_SUCCESS) return "";
  unsigned char text[64] = {};
  const int n = libusb_get_string_descriptor_ascii(h, p.descriptor.iSerialNumber, text,
                                                   sizeof text - 1);
  libusb_close(h);
  return n > 0 ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n)) : "";
}

}  // namespace

class LibusbTransport::Backend {
 public:
  Backend() {
    // A system without USB support (a container without /dev/bus/usb) has
    // no camera: the backend then lists nothing.
    if (libusb_init(&ctx) != LIBUSB_SUCCESS) ctx = nullptr;
    ids = BuildUsbIds();
    if (const char* v = std::getenv(kUsbIdsVariable); v != nullptr && *v != '\0')
      ParseUsbIds(v, &ids);
    if (const char* v = std::getenv(kDeviceVariable); v != nullptr) ParseDeviceChoice(v, &choice);
  }

  libusb_context* ctx = nullptr;

  // Runtime settings, and the handles handed out.
  std::mutex mu;
  std::vector<UsbId> ids;
  DeviceChoice choice;
  struct Entry {
    std::shared_ptr<Device> device;
    bool isInterface;
  };
  std::map<Handle, Entry> handles;
  Handle nextHandle = 0x1000;

  void Settings(std::vector<UsbId>* outIds, DeviceChoice* outChoice) {
    std::lock_guard<std::mutex> g(mu);
    *outIds = ids;
    if (outChoice != nullptr) *outChoice = choice;
  }

  // Present devices of the identity, in bus and port order.
  std::vector<Present> Enumerate(const std::vector<UsbId>& want) {
    std::vector<Present> found;
    if (ctx == nullptr) return found;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
      Present p;
      if (libusb_get_device_descriptor(list[i], &p.descriptor) != LIBUSB_SUCCESS) continue;
      const UsbId id{p.descriptor.idVendor, p.descriptor.idProduct};
      if (std::find(want.begin(), want.end(), id) == want.end()) continue;
      uint8_t ports[kMaxPortDepth];
      const int depth = libusb_get_port_numbers(list[i], ports, kMaxPortDepth);
      p.ports.assign(ports, ports + std::max(depth, 0));
      p.bus = libusb_get_bus_number(list[i]);
      p.address = libusb_get_device_address(list[i]);
      p.device = libusb_ref_device(list[i]);
      found.push_back(std::move(p));
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    std::sort(found.begin(), found.end(), [](const Present& a, const Present& b) {
      return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
    });
    return found;
  }

  Handle Add(std::shared_ptr<Device> device, bool isInterface) {
    std::lock_guard<std::mutex> g(mu);
    const Handle h = nextHandle++;
    handles.emplace(h, Entry{std::move(device), isInterface});
    return h;
  }

  std::shared_ptr<Device> Find(Handle h, bool isInterface) {
    std::lock_guard<std::mutex> g(mu);
    auto it = handles.find(h);
    if (it == handles.end() || it->second.isInterface != isInterface) return nullptr;
    return it->second.device;
  }

  // Submits `t` and handles libusb's events on this thread until it is
  // back. Every transfer of the library goes through here.
  UsbResult Run(Device& d, libusb_transfer* t) {
    // Whichever thread handles the events completes the transfer. The flag
    // this thread waits on is atomic; the plain int is what libusb itself
    // checks, under its own lock, before it sleeps.
    struct Completion {
      std::atomic<int> done{0};
      int seen = 0;
    } completion;
    t->user_data = &completion;
    t->callback = [](libusb_transfer* x) {
      auto* c = static_cast<Completion*>(x->user_data);
      c->seen = 1;
      c->done.store(1, std::memory_order_release);
    };
    {
      std::lock_guard<std::mutex> g(d.mu);
      if (d.refusingBulk && t->type == LIBUSB_TRANSFER_TYPE_BULK)
        return UsbResult::Fail(UsbStatus::kCancelled);
      const int r = libusb_submit_transfer(t);
      if (r != LIBUSB_SUCCESS) return Result(r);
      d.pending.insert(t);
    }
    while (completion.done.load(std::memory_order_acquire) == 0) {
      const int r = libusb_handle_events_completed(ctx, &completion.seen);
      // As libusb's own synchronous calls do: a failing event loop gets the
      // transfer cancelled, and events are handled until it is handed back.
      if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED) libusb_cancel_transfer(t);
    }
    {
      std::lock_guard<std::mutex> g(d.mu);
      d.pending.erase(t);
    }
    if (t->status == LIBUSB_TRANSFER_ERROR && Departed(d.handle))
      return UsbResult::Fail(UsbStatus::kNoDevice, -100 - LIBUSB_TRANSFER_NO_DEVICE);
    return FromTransfer(*t);
  }

  UsbResult Bulk(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                 uint32_t* transferred) {
    if (transferred != nullptr) *transferred = 0;
    std::shared_ptr<Device> d = Find(usb, true);
    if (d == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
    if (length > 0x7FFFFFFF || (length != 0 && buffer == nullptr))
      return UsbResult::Fail(UsbStatus::kIo);
    unsigned timeout = 0;
    bool recover = false;
    {
      std::lock_guard<std::mutex> g(d->mu);
      timeout = d->timeoutMs[PipeSlot(pipe)];
      recover = d->stallRecovery[PipeSlot(pipe)];
    }
    if (timeout == 0 && (pipe & 0x80) == 0) timeout = kWriteTimeoutMs;
    Transfer t(libusb_alloc_transfer(0));
    if (t == nullptr) return UsbResult::Fail(UsbStatus::kNoMemory);
    // The caller's buffer is the transfer's: a frame lands where the
    // library wants it, with no copy on the way.
    libusb_fill_bulk_transfer(t.get(), d->handle, pipe, buffer, static_cast<int>(length), nullptr,
                              nullptr, timeout);
    const UsbResult r = Run(*d, t.get());
    if (transferred != nullptr) *transferred = static_cast<uint32_t>(t->actual_length);
    // A halted pipe would refuse every later transfer; clear it now when the
    // library asked for that.
    if (r.status == UsbStatus::kStall && recover) libusb_clear_halt(d->handle, pipe);
    return r;
  }
};

LibusbTransport::Backend& LibusbTransport::Get() {
  // Never deleted: a detached readout may still be inside libusb at exit.
  std::call_once(started, [this] { backend = new Backend(); });
  return *backend;
}

bool LibusbTransport::Configure(const char* ids, const char* device) {
  Backend& b = Get();
  std::vector<UsbId> newIds = BuildUsbIds();
  DeviceChoice newChoice;
  if (ids != nullptr && *ids != '\0' && !ParseUsbIds(ids, &newIds)) return false;
  if (device != nullptr && !ParseDeviceChoice(device, &newChoice)) return false;
  std::lock_guard<std::mutex> g(b.mu);
  if (ids != nullptr) b.ids = std::move(newIds);
  if (device != nullptr) b.choice = std::move(newChoice);
  return true;
}

bool LibusbTransport::FindFirstDevice(char* path, uint32_t capacity) {
  Backend& b = Get();
  std::vector<UsbId> ids;
  DeviceChoice choice;
  b.Settings(&ids, &choice);
  std::vector<Present> found = b.Enumerate(ids);
  bool any = false;
  for (const Present& p : found) {
    const bool chosen = choice.by == DeviceChoice::By::kFirst ||
                        (choice.by == DeviceChoice::By::kLocation && p.Location() == choice.value) ||
                        (choice.by == DeviceChoice::By::kSerial && SerialOf(p) == choice.value);
    if (!chosen) continue;
    CopyPathBounded(FormatDevicePath(p.Location()).c_str(), path, capacity);
    any = true;
    break;
  }
  Release(found);
  return any;
}

uint32_t LibusbTransport::ListDevices(DeviceInfo* out, uint32_t capacity) {
  Backend& b = Get();
  std::vector<UsbId> ids;
  b.Settings(&ids, nullptr);
  std::vector<Present> found = b.Enumerate(ids);
  for (uint32_t i = 0; i < found.size() && i < capacity; ++i) {
    const Present& p = found[i];
    DeviceInfo& d = out[i];
    d = DeviceInfo{};
    CopyPathBounded(FormatDevicePath(p.Location()).c_str(), d.path, sizeof d.path);
    CopyPathBounded(p.Location().c_str(), d.location, sizeof d.location);
    CopyPathBounded(SerialOf(p).c_str(), d.serial, sizeof d.serial);
    d.vendorId = p.descriptor.idVendor;
    d.productId = p.descriptor.idProduct;
    // The blank test, on the descriptor the system already holds.
    d.blank = p.descriptor.iSerialNumber == 0 ? 1 : 0;
  }
  const auto count = static_cast<uint32_t>(found.size());
  Release(found);
  return count;
}

Handle LibusbTransport::Open(const char* path, UsbResult* why) {
  Backend& b = Get();
  UsbResult result = UsbResult::Fail(UsbStatus::kNoDevice);
  Handle handle = kInvalidHandle;
  std::string location;
  std::vector<UsbId> ids;
  b.Settings(&ids, nullptr);
  std::vector<Present> found;
  if (ParseDevicePath(path, &location)) found = b.Enumerate(ids);
  for (const Present& p : found) {
    if (p.Location() != location) continue;
    libusb_device_handle* h = nullptr;
    result = Result(libusb_open(p.device, &h));
    if (result.ok()) handle = b.Add(std::make_shared<Device>(h), false);
    break;
  }
  Release(found);
  if (why != nullptr) *why = result;
  return handle;
}

UsbResult LibusbTransport::ClaimInterface(Handle device, Handle* usb) {
  Backend& b = Get();
  std::shared_ptr<Device> d = b.Find(device, false);
  if (d == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
  {
    std::lock_guard<std::mutex> g(d->mu);
    // Another program holding the interface shows here, as kBusy.
    const UsbResult r = Result(libusb_claim_interface(d->handle, kInterface));
    if (!r.ok()) return r;
    d->claimed = true;
  }
  *usb = b.Add(std::move(d), true);
  return UsbResult::Ok();
}

void LibusbTransport::Close(Handle device, Handle usb) {
  Backend& b = Get();
  std::shared_ptr<Device> dev;
  std::shared_ptr<Device> iface;
  {
    std::lock_guard<std::mutex> g(b.mu);
    if (auto it = b.handles.find(device); it != b.handles.end() && !it->second.isInterface) {
      dev = std::move(it->second.device);
      b.handles.erase(it);
    }
    if (auto it = b.handles.find(usb); it != b.handles.end() && it->second.isInterface) {
      iface = std::move(it->second.device);
      b.handles.erase(it);
    }
  }
  // The interface goes first; libusb closes the device once the last
  // handle on it is gone (both, normally, right here).
  if (iface != nullptr) {
    std::lock_guard<std::mutex> g(iface->mu);
    if (iface->claimed) libusb_release_interface(iface->handle, kInterface);
    iface->claimed = false;
  }
}

UsbResult LibusbTransport::EnableStallRecovery(Handle usb, uint8_t pipe) {
  std::shared_ptr<Device> d = Get().Find(usb, true);
  if (d == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
  {
    std::lock_guard<std::mutex> g(d->mu);
    d->stallRecovery[PipeSlot(pipe)] = true;
  }
  return Result(libusb_clear_halt(d->handle, pipe));
}

UsbResult LibusbTransport::SetTransferTimeout(Handle usb, uint8_t pipe, uint32_t ms) {
  std::shared_ptr<Device> d = Get().Find(usb, true);
  if (d == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
  std::lock_guard<std::mutex> g(d->mu);
  d->timeoutMs[PipeSlot(pipe)] = ms;
  return UsbResult::Ok();
}

UsbResult LibusbTransport::ControlTransfer(Handle usb, const SetupPacket& setup, uint8_t* data,
                                           uint32_t length) {
  Backend& b = Get();
  std::shared_ptr<Device> d = b.Find(usb, true);
  if (d == nullptr) return UsbResult::Fail(UsbStatus::kNoDevice);
  if (length > 0xFFFF || (length != 0 && data == nullptr)) return UsbResult::Fail(UsbStatus::kIo);
  const bool in = (setup.requestType & LIBUSB_ENDPOINT_IN) != 0;
  // libusb wants the setup packet and the data stage in one buffer.
  std::vector<uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
  libusb_fill_control_setup(buffer.data(), setup.requestType, setup.request, setup.value,
                            setup.index, static_cast<uint16_t>(length));
  if (!in && length != 0) std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, length);
  Transfer t(libusb_alloc_transfer(0));
  if (t == nullptr) return UsbResult::Fail(UsbStatus::kNoMemory);
  libusb_fill_control_transfer(t.get(), d->handle, buffer.data(), nullptr, nullptr,
                               kControlTimeoutMs);
  const UsbResult r = b.Run(*d, t.get());
  // Only a reply that arrived lands in the caller's buffer; the bytes it did
  // not cover stay as they were.
  if (in && r.ok()) {
    const auto got = std::min<uint32_t>(static_cast<uint32_t>(t->actual_length), length);
    std::memcpy(data, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, got);
  }
  return r;
}

UsbResult LibusbTransport::ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                                    uint32_t* transferred) {
  return Get().Bulk(usb, pipe, buffer, length, transferred);
}

UsbResult LibusbTransport::WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer,
                                     uint32_t length, uint32_t* transferred) {
  // libusb takes one buffer type for both directions; an OUT transfer only
  // reads it.
  return Get().Bulk(usb, pipe, const_cast<uint8_t*>(buffer), length, transferred);
}

void LibusbTransport::CancelTransfers(Handle usb) {
  std::shared_ptr<Device> d = Get().Find(usb, true);
  if (d == nullptr) return;
  std::lock_guard<std::mutex> g(d->mu);
  // Each cancelled transfer comes back to the thread waiting for it, which
  // reports kCancelled. Transfers submitted later are not touched: the
  // device stays usable. Control transfers are left to finish: they are
  // short, and a guide pulse or stop sent from another thread meanwhile
  // must not end in a state where nobody knows whether the camera took it.
  for (libusb_transfer* t : d->pending) {
    if (t->type == LIBUSB_TRANSFER_TYPE_BULK) libusb_cancel_transfer(t);
  }
}

void LibusbTransport::CancelForClose(Handle usb) {
  std::shared_ptr<Device> d = Get().Find(usb, true);
  if (d == nullptr) return;
  std::lock_guard<std::mutex> g(d->mu);
  d->refusingBulk = true;
  for (libusb_transfer* t : d->pending) libusb_cancel_transfer(t);
}

}  // namespace tarncam
