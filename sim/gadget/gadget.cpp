#include "sim/gadget/gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <endian.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "sim/gadget/descriptors.h"
#include "tarncam_build_config.h"
#include "usb/requests.h"

namespace gadget {
namespace {

using tarncam::Handle;
using tarncam::kInvalidHandle;
using tarncam::UsbStatus;

// The signal that ends a blocked endpoint or ep0 call. Its handler does
// nothing; installed without SA_RESTART, it makes the call return EINTR, and
// gadgetfs then takes back the request it had queued.
constexpr int kWakeSignal = SIGUSR1;

// Endpoint writes are queued as one request each; 64 KiB (a multiple of
// every packet size) keeps each kernel buffer small.
constexpr size_t kWriteChunk = 64 * 1024;
// Renumeration: let the status stage of the request that set it off reach
// the host before the device leaves the bus.
constexpr auto kLeaveDelay = std::chrono::milliseconds(50);

void OnWake(int) {}

// Marks the bulk IN thread's frame as in flight for its scope.
class ReadActive {
 public:
  explicit ReadActive(std::atomic<bool>& f) : flag(f) { flag = true; }
  ~ReadActive() { flag = false; }
  ReadActive(const ReadActive&) = delete;
  ReadActive& operator=(const ReadActive&) = delete;

 private:
  std::atomic<bool>& flag;
};

// The controller's ep0 file: the one entry of the gadgetfs folder that is not
// an endpoint.
std::string FindController(const std::string& dir) {
  std::string found;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == ".." || name.rfind("ep", 0) == 0) continue;
      found = name;
      break;
    }
    closedir(d);
  }
  return found;
}

// An endpoint file of the right direction: `preferred` when the controller
// has it (dummy_udc's bulk endpoints), else the first whose name says the
// direction. The host reaches an endpoint by the address in its descriptor,
// not by the file's name.
std::string FindEndpoint(const std::string& dir, const std::string& preferred,
                         const char* direction) {
  if (access((dir + "/" + preferred).c_str(), F_OK) == 0) return preferred;
  std::string found;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.rfind("ep", 0) == 0 && name.find(direction) != std::string::npos &&
          name.find("-int") == std::string::npos && name.find("-iso") == std::string::npos) {
        found = name;
        break;
      }
    }
    closedir(d);
  }
  return found;
}


}  // namespace

// ---------------------------------------------------------------------------
// EndpointSlot

void EndpointSlot::SetUser(pthread_t thread, std::function<void()> w) {
  std::lock_guard<std::mutex> g(mu);
  user = thread;
  hasUser = true;
  wake = std::move(w);
}

EndpointSlot::Lease EndpointSlot::Acquire() {
  std::unique_lock<std::mutex> lk(mu);
  for (;;) {
    // Here the user holds nothing: whatever generation is current is
    // let go of.
    acknowledged = generation;
    cv.notify_all();
    if (quit) return Lease{-1, generation, true};
    if (fd >= 0) return Lease{fd, generation, false};
    cv.wait(lk);
  }
}

bool EndpointSlot::Changed(const Lease& lease) {
  std::lock_guard<std::mutex> g(mu);
  return quit || generation != lease.generation;
}

void EndpointSlot::WaitChange(const Lease& lease, int timeoutMs) {
  std::unique_lock<std::mutex> lk(mu);
  cv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
              [&] { return quit || generation != lease.generation; });
}

void EndpointSlot::Interrupt(uint64_t target) {
  // A signal can land just before the user blocks; repeat it (and the
  // model's wake-up) until the user has let go, for at most about 2 s.
  for (int i = 0; i < 100; ++i) {
    std::function<void()> w;
    {
      std::unique_lock<std::mutex> lk(mu);
      if (!hasUser || acknowledged >= target) return;
      w = wake;
    }
    pthread_kill(user, kWakeSignal);
    if (w) w();
    std::unique_lock<std::mutex> lk(mu);
    if (cv.wait_for(lk, std::chrono::milliseconds(20), [&] { return acknowledged >= target; }))
      return;
  }
}

void EndpointSlot::Replace(int newFd) {
  int old = -1;
  uint64_t target = 0;
  {
    std::lock_guard<std::mutex> g(mu);
    old = fd;
    fd = newFd;
    target = ++generation;
    cv.notify_all();
  }
  Interrupt(target);
  // Closing the file disables the endpoint.
  if (old >= 0 && old != newFd) close(old);
}

void EndpointSlot::Restart() {
  uint64_t target = 0;
  {
    std::lock_guard<std::mutex> g(mu);
    target = ++generation;
    cv.notify_all();
  }
  Interrupt(target);
}

void EndpointSlot::Quit() {
  uint64_t target = 0;
  {
    std::lock_guard<std::mutex> g(mu);
    quit = true;
    target = ++generation;
    cv.notify_all();
  }
  Interrupt(target);
}

// ---------------------------------------------------------------------------
// The control worker: the model's side of ep0, in request order.

struct Gadget::Job {
  tarncam::SetupPacket setup{};
  std::vector<uint8_t> data;
  bool done = false;
  bool ok = false;
  bool counted = false;  // in programsPending until the model has it
};

class Gadget::Worker {
 public:
  explicit Worker(std::function<bool(Job&)> h) : handle(std::move(h)), thread([this] { Loop(); }) {}
  ~Worker() {
    {
      std::lock_guard<std::mutex> g(mu);
      stopped = true;
      for (auto& j : queue) j->done = true;  // fails what still waits
      cv.notify_all();
    }
    thread.join();
  }

  // Hands a request over and waits for the model's verdict.
  bool Call(std::shared_ptr<Job> job) {
    std::unique_lock<std::mutex> lk(mu);
    if (stopped) return false;
    queue.push_back(job);
    cv.notify_all();
    cv.wait(lk, [&] { return job->done; });
    return job->ok;
  }

  // Hands a request over without waiting (its data is already in).
  void Post(std::shared_ptr<Job> job) {
    std::lock_guard<std::mutex> g(mu);
    if (stopped) return;
    queue.push_back(std::move(job));
    cv.notify_all();
  }

 private:
  void Loop() {
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock<std::mutex> lk(mu);
        cv.wait(lk, [&] { return stopped || !queue.empty(); });
        if (stopped) return;
        job = queue.front();
      }
      const bool ok = handle(*job);
      std::lock_guard<std::mutex> g(mu);
      job->ok = ok;
      job->done = true;
      if (!queue.empty() && queue.front() == job) queue.pop_front();
      cv.notify_all();
    }
  }

  std::function<bool(Job&)> handle;
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::shared_ptr<Job>> queue;
  bool stopped = false;
  std::thread thread;  // last: starts once the rest is set up
};

// ---------------------------------------------------------------------------
// Gadget

Gadget::Gadget(sim::SimCamera& m, Settings s) : model(m), settings(std::move(s)) {
  struct sigaction sa {};
  sa.sa_handler = OnWake;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: the blocked call must return
  sigaction(kWakeSignal, &sa, nullptr);

  // A model read pending for the exposure ends when its frame is dropped.
  auto cancelRead = [this] {
    const Handle usb = modelUsb.load();
    if (usb != kInvalidHandle) model.CancelTransfers(usb);
  };
  inThread = std::thread([this] { BulkInLoop(); });
  outThread = std::thread([this] { BulkOutLoop(); });
  inSlot.SetUser(inThread.native_handle(), cancelRead);
  outSlot.SetUser(outThread.native_handle(), nullptr);
}

Gadget::~Gadget() {
  inSlot.Quit();
  outSlot.Quit();
  inThread.join();
  outThread.join();
}

void Gadget::Say(const std::string& line) {
  std::lock_guard<std::mutex> g(mu);
  lines.push_back(line);
  cv.notify_all();
}

void Gadget::RequestLeave(Leave why) {
  std::lock_guard<std::mutex> g(mu);
  if (leave == Leave::kNone) leave = why;
  cv.notify_all();
}

void Gadget::Quit() {
  std::lock_guard<std::mutex> g(mu);
  quit = true;
  cv.notify_all();
}

void Gadget::Unplug() {
  {
    std::lock_guard<std::mutex> g(mu);
    userUnplugged = true;
  }
  model.SetPresent(false);
  RequestLeave(Leave::kUnplug);
}

void Gadget::Plug() {
  model.SetPresent(true);
  std::lock_guard<std::mutex> g(mu);
  userUnplugged = false;
  cv.notify_all();
}

std::string Gadget::StatsLine() {
  const tarncam_sim_stats s = model.Stats();
  const sim::FaultCounts f = model.Faults();
  auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  char text[512];
  std::snprintf(text, sizeof text,
                "stats reads=%llu frames=%llu aborts=%llu downloads=%llu programmings=%llu "
                "controls=%llu guide_x=%.4f guide_y=%.4f programmed=%d present=%d "
                "failed_reads=%llu timed_out_reads=%llu short_reads=%llu failed_controls=%llu "
                "disconnects=%llu unplugs=%llu blank_returns=%llu",
                u(s.reads), u(s.frames), u(s.aborts), u(s.firmware_downloads), u(s.programmings),
                u(s.control_transfers), s.guide_offset_x, s.guide_offset_y, s.programmed,
                s.present, u(f.readsFailed), u(f.readsTimedOut), u(f.readsShort),
                u(f.controlFailed), u(f.disconnects), u(f.unplugs), u(f.blankReturns));
  return text;
}

int Gadget::Run() {
  std::unique_lock<std::mutex> lk(mu);
  auto flush = [&] {
    while (!lines.empty()) {
      const std::string line = lines.front();
      lines.pop_front();
      lk.unlock();
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
      lk.lock();
    }
  };
  while (!quit) {
    // Off the bus until the model is present again (after a download, the
    // controller's restart; after an unplug, the replug).
    const tarncam_sim_stats st = model.Stats();
    if (st.present == 0 || userUnplugged) {
      cv.wait_for(lk, std::chrono::milliseconds(20));
      flush();
      continue;
    }
    leave = Leave::kNone;
    lk.unlock();
    const bool ok = Connect(st.programmed != 0);
    lk.lock();
    if (!ok) return 1;
    std::printf("connected %s\n", st.programmed != 0 ? "camera" : "blank");
    std::fflush(stdout);
    while (!quit && leave == Leave::kNone) {
      cv.wait_for(lk, std::chrono::milliseconds(100));
      flush();
    }
    const Leave why = leave;
    lk.unlock();
    if (why == Leave::kRenumerate) std::this_thread::sleep_for(kLeaveDelay);
    Disconnect();
    lk.lock();
    flush();
    std::printf("disconnected\n");
    std::fflush(stdout);
  }
  return 0;
}

bool Gadget::Connect(bool isProgrammed) {
  const std::string name = settings.controllerFile.empty() ? FindController(settings.gadgetDir)
                                                           : settings.controllerFile;
  // The model's handles for this connection: a device that left the bus
  // comes back as a new device with new handles, as on a real bus.
  char path[64];
  Handle device = kInvalidHandle;
  Handle usb = kInvalidHandle;
  if (model.FindFirstDevice(path, sizeof path)) {
    device = model.Open(path, nullptr);
    if (!model.ClaimInterface(device, &usb).ok()) usb = kInvalidHandle;
  }
  modelDevice = device;
  modelUsb = usb;
  programmed = isProgrammed;
  stopping = false;

  fd0 = name.empty() ? -1 : open((settings.gadgetDir + "/" + name).c_str(), O_RDWR);
  if (fd0 < 0) {
    std::fprintf(stderr, "tarncam-gadget: cannot open the controller in %s: %s\n",
                 settings.gadgetDir.c_str(), std::strerror(errno));
    return false;
  }
  worker = std::make_unique<Worker>([this](Job& j) { return HandleControl(j); });
  const std::vector<uint8_t> setup = Ep0Setup(isProgrammed);
  // Binding the gadget: the host starts enumerating right away.
  if (write(fd0, setup.data(), setup.size()) != static_cast<ssize_t>(setup.size())) {
    std::fprintf(stderr, "tarncam-gadget: gadgetfs refused the descriptors: %s\n",
                 std::strerror(errno));
    close(fd0);
    fd0 = -1;
    worker.reset();
    return false;
  }
  // Reading ep0 must start at once: until then gadgetfs stalls every
  // request it does not answer itself.
  ep0Done = false;
  ep0Thread = std::thread([this] { Ep0Loop(); });
  return true;
}

void Gadget::Disconnect() {
  stopping = true;
  // The ep0 thread ends at its next read; a blocked read needs the signal
  // (repeated, since it may land just before the thread blocks). A request
  // it is handing to the worker meanwhile completes first.
  if (ep0Thread.joinable()) {
    while (!ep0Done) {
      pthread_kill(ep0Thread.native_handle(), kWakeSignal);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ep0Thread.join();
  }
  worker.reset();
  programsPending = 0;  // what the worker left undone goes with the connection
  DisableEndpoints();
  // Closing ep0 unbinds the gadget: the host sees the device leave.
  if (fd0 >= 0) close(fd0);
  fd0 = -1;
  model.Close(modelDevice.exchange(kInvalidHandle), modelUsb.exchange(kInvalidHandle));
}

void Gadget::Ep0Loop() {
  if (settings.realtime) {
    // Ahead of everything else: the host may send the next request as soon
    // as an OUT request's data left it.
    sched_param p{};
    p.sched_priority = kEp0Priority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
  }
  usb_gadgetfs_event events[8];
  int failures = 0;
  while (!stopping) {
    const ssize_t n = read(fd0, events, sizeof events);
    if (stopping) break;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      // A bus reset can fail a read; a controller that keeps failing ends
      // the connection.
      if (++failures > 100) {
        RequestLeave(Leave::kUnplug);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    failures = 0;
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
      switch (events[i].type) {
        case GADGETFS_CONNECT:
          packetSize = events[i].u.speed == USB_SPEED_HIGH ? kHighSpeedPacket : kFullSpeedPacket;
          break;
        case GADGETFS_DISCONNECT:
          // Also how gadgetfs reports a bus reset: the configuration is
          // gone, and SET_CONFIGURATION will enable the pipes again.
          DisableEndpoints();
          break;
        case GADGETFS_SETUP:
          Setup(events[i].u.setup);
          break;
        default:
          break;
      }
    }
  }
  ep0Done = true;
}

void Gadget::Setup(const usb_ctrlrequest& r) {
  const bool in = (r.bRequestType & USB_DIR_IN) != 0;
  const uint16_t value = le16toh(r.wValue);
  const uint16_t index = le16toh(r.wIndex);
  const uint16_t length = le16toh(r.wLength);
  uint8_t none = 0;
  // Answers are calls on ep0 in the request's direction; a call in the
  // other direction stalls it.
  auto ack = [&] { (void)!read(fd0, &none, 0); };
  auto stall = [&] {
    if (in) {
      (void)!read(fd0, &none, 0);
    } else {
      (void)!write(fd0, &none, 0);
    }
  };
  auto reply = [&](const uint8_t* data, size_t n) {
    (void)!write(fd0, data, std::min<size_t>(n, length));
  };

  if ((r.bRequestType & USB_TYPE_MASK) == USB_TYPE_STANDARD) {
    switch (r.bRequest) {
      case USB_REQ_GET_DESCRIPTOR: {
        // The kernel answers for the device and configuration descriptors;
        // strings are ours, and only the programmed camera has any.
        std::vector<uint8_t> d;
        if ((value >> 8) == USB_DT_STRING && programmed)
          d = StringDescriptor(static_cast<uint8_t>(value), settings.serial);
        if (d.empty()) return stall();
        return reply(d.data(), d.size());
      }
      case USB_REQ_SET_CONFIGURATION:
        // Cannot be stalled; the host waits for the acknowledgement, which
        // comes once the pipes are ready.
        if (value == 1 && programmed) {
          EnableEndpoints();
        } else {
          DisableEndpoints();
        }
        return ack();
      case USB_REQ_SET_INTERFACE:
        if (value != 0 || index != 0) return stall();
        return ack();
      case USB_REQ_GET_INTERFACE: {
        const uint8_t alt = 0;
        if (index != 0) return stall();
        return reply(&alt, 1);
      }
      default:
        return stall();
    }
  }
  if ((r.bRequestType & USB_TYPE_MASK) != USB_TYPE_VENDOR) return stall();

  auto job = std::make_shared<Job>();
  job->setup = tarncam::SetupPacket{r.bRequestType, r.bRequest, value, index, length};
  job->data.resize(length);
  if (!in && length != 0) {
    // New settings make the frame in progress out of date the moment the
    // camera takes them, before the host hears they arrived: were it left
    // to the worker, a worker running late (a loaded, emulated VM) let the
    // rest of a frame whose read the host had cancelled reach the next read.
    const bool program = r.bRequest == tarncam::kReqProgram;
    if (program) {
      job->counted = true;
      programsPending.fetch_add(1);
      inSlot.Restart();
    }
    // The data stage first, before anything else can happen on ep0. It
    // cannot be stalled any more: the host has been told it arrived.
    if (read(fd0, job->data.data(), length) == static_cast<ssize_t>(length)) {
      worker->Post(job);
    } else {
      if (program) programsPending.fetch_sub(1);
      // Lost: the host sent its next request before this one's data was
      // read. Said out loud, so that a test can tell.
      Say("lost the data of request 0x" + std::to_string(r.bRequest));
    }
    return;
  }
  if (!worker->Call(job)) return stall();
  if (in) return reply(job->data.data(), job->data.size());
  return ack();
}

bool Gadget::HandleControl(Job& job) {
  if (job.setup.request == tarncam::kReqIdentify) {
    Say("identify");
    const int ms = identifyDelayMs.exchange(0);
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  const Handle usb = modelUsb.load();
  const uint32_t length = static_cast<uint32_t>(job.data.size());
  const bool ok = model.ControlTransfer(usb, job.setup, job.data.data(), length).ok();
  const tarncam::SetupPacket& s = job.setup;
  const bool cpuControl =
      s.request == tarncam::kReqFirmwareLoad && s.value == tarncam::kCpuControlRegister;
  if (job.counted) programsPending.fetch_sub(1);
  if (s.request == tarncam::kReqProgram || cpuControl) {
    // New settings, or the controller's program restarted: the frame on
    // offer is out of date.
    inSlot.Restart();
  }
  // Releasing the CPU after a download makes the controller present itself
  // afresh: the model has left the bus, and so must the device.
  if (cpuControl && model.Stats().present == 0) RequestLeave(Leave::kRenumerate);
  return ok;
}

void Gadget::EnableEndpoints() {
  DisableEndpoints();
  auto openEndpoint = [&](const std::string& file, const char* direction, const char* preferred,
                          uint8_t address) {
    const std::string name =
        file.empty() ? FindEndpoint(settings.gadgetDir, preferred, direction) : file;
    const int fd = name.empty() ? -1 : open((settings.gadgetDir + "/" + name).c_str(), O_RDWR);
    if (fd < 0) return -1;
    const std::vector<uint8_t> d = EndpointSetup(address);
    if (write(fd, d.data(), d.size()) != static_cast<ssize_t>(d.size())) {
      close(fd);
      return -1;
    }
    return fd;
  };
  inSlot.Replace(openEndpoint(settings.inEndpointFile, "in", "ep2in-bulk", kPipeIn));
  outSlot.Replace(openEndpoint(settings.outEndpointFile, "out", "ep1out-bulk", kPipeOut));
}

void Gadget::DisableEndpoints() {
  inSlot.Replace(-1);
  outSlot.Replace(-1);
}

bool Gadget::WriteAll(const EndpointSlot::Lease& lease, const uint8_t* data, size_t length) {
  // A failure other than the wake-up signal (the endpoint went with a bus
  // reset) is waited out until the endpoint is configured anew.
  auto failed = [&] {
    if (errno != EINTR) inSlot.WaitChange(lease, 100);
    return false;
  };
  if (length == 0) {
    // A zero-length packet: ends a transfer whose last packet was full.
    uint8_t none = 0;
    return write(lease.fd, &none, 0) == 0 || failed();
  }
  for (size_t at = 0; at < length;) {
    const size_t n = std::min(kWriteChunk, length - at);
    if (write(lease.fd, data + at, n) != static_cast<ssize_t>(n)) return failed();
    if (inSlot.Changed(lease)) return false;
    at += n;
  }
  return true;
}

void Gadget::BulkInLoop() {
  std::vector<uint8_t> frame(tarncam::kFrameBufferEntries);
  std::vector<uint8_t> offer(kHighSpeedPacket);
  for (;;) {
    const EndpointSlot::Lease lease = inSlot.Acquire();
    if (lease.quit) return;
    const Handle usb = modelUsb.load();
    const size_t packet = packetSize.load();

    // 1. Offer the first packet of the next frame. The host taking it is
    // its read arriving: the exposure starts now. Not while settings the
    // host has sent are still on their way to the model.
    if (programsPending.load() > 0) {
      inSlot.WaitChange(lease, 100);
      continue;
    }
    const uint64_t size = model.PeekFrame(offer.data(), packet);
    if (size == 0) {
      // No program runs (held in reset): nothing to send until it does.
      inSlot.WaitChange(lease, 100);
      continue;
    }
    const size_t first = static_cast<size_t>(std::min<uint64_t>(size, packet));
    if (!WriteAll(lease, offer.data(), first)) continue;
    if (size <= first) continue;  // the whole frame fit in that packet
    // From here on the host's read is pending, also for the abort byte.
    ReadActive active(readActive);
    Say("exposing");

    // 2. The exposure: the model's read ends when the frame is done, or
    // early, with the rows sent so far, on the abort byte.
    uint32_t got = 0;
    const tarncam::UsbResult r = model.ReadPipe(usb, kPipeIn, frame.data(),
                                                static_cast<uint32_t>(frame.size()), &got);
    if (inSlot.Changed(lease)) continue;
    if (r.status == UsbStatus::kNoDevice) {
      // The model's camera was unplugged during the read.
      if (model.Stats().present == 0) RequestLeave(Leave::kUnplug);
      inSlot.WaitChange(lease, 1000);
      continue;
    }
    if (r.status == UsbStatus::kIo) {
      // A transfer error at the end of the frame: the host's read fails
      // with a halted pipe (a read on an IN endpoint file halts it).
      uint8_t none = 0;
      (void)!read(lease.fd, &none, 1);
      continue;
    }
    // Anything else unfinished (cancelled, never completing) sends nothing:
    // the host's read runs into its timeout.
    if (!r.ok()) continue;

    // 3. The rest of the frame. A frame cut short whose last packet was
    // full needs an explicit end, or the host would wait for more.
    const size_t sent = std::max<size_t>(got, first);
    if (got > first && !WriteAll(lease, frame.data() + first, got - first)) continue;
    if (sent < size && sent % packet == 0) WriteAll(lease, nullptr, 0);
  }
}

void Gadget::BulkOutLoop() {
  uint8_t buffer[kHighSpeedPacket];
  for (;;) {
    const EndpointSlot::Lease lease = outSlot.Acquire();
    if (lease.quit) return;
    const ssize_t n = read(lease.fd, buffer, sizeof buffer);
    if (n > 0) {
      // The abort byte: the model ends the exposure it is running, if any.
      // The host's read is pending from the moment it took the frame's
      // first packet, a moment before the model's read begins: an abort in
      // between waits for it.
      if (!settings.ignoreAbort) {
        if (readActive) model.WaitForPendingRead(0, 1000);
        uint32_t written = 0;
        model.WritePipe(modelUsb.load(), kPipeOut, buffer, static_cast<uint32_t>(n), &written);
      }
      Say(settings.ignoreAbort ? "abort ignored" : "abort");
    } else if (n < 0 && errno != EINTR) {
      // Disabled, or the bus went away: wait for the next configuration.
      outSlot.WaitChange(lease, 100);
    }
  }
}

}  // namespace gadget
