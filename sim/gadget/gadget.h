#pragma once
// The simulated camera as a USB device: gadgetfs on one side, the simulator's
// camera model (sim::SimCamera) on the other. The model decides everything
// the camera does (descriptors' identity, firmware RAM and renumeration,
// vendor requests, frames, the abort, the guide port, faults); this front end
// only carries USB traffic between the host and the model, the way the
// library itself drives the model through its USB seam.
//
// Threads: ep0 is read by one thread (the highest real-time priority of the
// device's threads, which all run above ordinary programs where the system
// allows), which takes each request's data stage at once and hands it to a
// worker that talks to the model: gadgetfs completes a control OUT request's
// status stage before the program has read its data, and data the program
// has not read when the next request arrives is lost, so nothing slow may sit
// between two reads of ep0. The bulk pipes have a thread each, created once;
// configuration hands them endpoint files, and a signal (SIGUSR1) ends a
// blocked endpoint call when the files change or a frame must be dropped.
//
// Frames: the host's bulk read cannot be seen until data moves, so the front
// end offers the first packet of the next frame, rendered from the model at
// once; the host taking it starts the exposure (as the model expects: a
// picture per read), the model renders the frame when the light ends, and
// the rest follows. An abort byte while the exposure runs ends the transfer
// short; one with no read pending changes nothing. A new register block or a
// controller restart drops the frame on offer.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/sim_camera.h"

struct usb_ctrlrequest;

namespace gadget {

// Real-time priorities (SCHED_FIFO), where the system allows them: ep0's
// thread above the device's other threads, all above ordinary programs.
inline constexpr int kDevicePriority = 10;
inline constexpr int kEp0Priority = 20;

struct Settings {
  std::string gadgetDir = "/dev/gadget";
  // The controller's ep0 file and the endpoint files for the two pipes; ""
  // picks them (dummy_udc's ep2in-bulk and ep1out-bulk when present).
  std::string controllerFile;
  std::string inEndpointFile;
  std::string outEndpointFile;
  std::string serial;         // the programmed camera's serial-number string
  bool ignoreAbort = false;   // a camera that does not answer the abort byte
  bool realtime = true;  // SCHED_FIFO for the device's threads, where allowed
};

// One endpoint file shared between the thread that configures it (ep0) and
// the thread that moves its data. The configuring side replaces the file or
// restarts the user; the user takes a lease at the top of each round and
// drops everything when the lease's generation has moved on.
class EndpointSlot {
 public:
  struct Lease {
    int fd = -1;
    uint64_t generation = 0;
    bool quit = false;
  };

  void SetUser(pthread_t thread, std::function<void()> wake);

  // User side. Acquire waits until a file is set (or quit) and records that
  // the user holds nothing older.
  Lease Acquire();
  bool Changed(const Lease& lease);
  void WaitChange(const Lease& lease, int timeoutMs);

  // Configuring side. Both return once the user let go of what it held (or
  // after a bounded wait); Replace then closes the old file.
  void Replace(int fd);
  void Restart();
  void Quit();

 private:
  void Interrupt(uint64_t generation);

  std::mutex mu;
  std::condition_variable cv;
  int fd = -1;
  uint64_t generation = 0;
  uint64_t acknowledged = 0;
  bool quit = false;
  pthread_t user{};
  bool hasUser = false;
  std::function<void()> wake;
};

class Gadget {
 public:
  Gadget(sim::SimCamera& model, Settings settings);
  ~Gadget();

  // Presents the camera until Quit(); returns 0, or 1 when gadgetfs failed.
  int Run();

  // Thread-safe requests (a control channel, signal handling by polling).
  void Quit();
  void Unplug();
  void Plug();
  // One line of the model's counters.
  std::string StatsLine();
  // The next identification request is answered `ms` late (a listing's
  // probe then holds the camera that long); each one says "identify".
  void SlowNextIdentify(int ms) { identifyDelayMs = ms; }
  // Prints a line on stdout from the thread that runs Run (never from ep0's).
  void Say(const std::string& line);

 private:
  enum class Leave { kNone, kRenumerate, kUnplug, kQuit };
  struct Job;
  class Worker;

  bool Connect(bool programmed);
  void Disconnect();
  void Ep0Loop();
  void Setup(const ::usb_ctrlrequest& request);
  void EnableEndpoints();
  void DisableEndpoints();
  bool HandleControl(Job& job);
  void BulkInLoop();
  void BulkOutLoop();
  bool WriteAll(const EndpointSlot::Lease& lease, const uint8_t* data, size_t length);
  void RequestLeave(Leave why);

  sim::SimCamera& model;
  const Settings settings;

  // The connection: ep0, the model's handles for it, and who asked it to end.
  int fd0 = -1;
  std::atomic<tarncam::Handle> modelDevice{tarncam::kInvalidHandle};
  std::atomic<tarncam::Handle> modelUsb{tarncam::kInvalidHandle};
  std::atomic<bool> programmed{false};
  std::atomic<uint16_t> packetSize{512};
  std::atomic<bool> stopping{false};
  std::atomic<bool> ep0Done{true};
  std::atomic<bool> readActive{false};  // the host has taken a frame's first packet
  // Register blocks the host has been told arrived that the model has not
  // applied yet: no frame is offered meanwhile.
  std::atomic<int> programsPending{0};
  std::atomic<int> identifyDelayMs{0};
  std::thread ep0Thread;
  std::unique_ptr<Worker> worker;

  EndpointSlot inSlot;
  EndpointSlot outSlot;
  std::thread inThread;
  std::thread outThread;

  // What the main loop waits on: leave requests, lines to print, quit.
  std::mutex mu;
  std::condition_variable cv;
  Leave leave = Leave::kNone;
  bool quit = false;
  bool userUnplugged = false;
  std::deque<std::string> lines;
};

}  // namespace gadget
