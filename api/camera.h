#pragma once
// One open camera of the camera API: its own core record, settings, worker
// thread and guide state. The C functions in camera_api.cpp check their
// arguments and call these members.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "api/registry.h"
#include "api/settings.h"
#include "core/camera_state.h"
#include "guide/guide.h"
#include "tarncam/tarncam_camera.h"

struct tarncam_camera {
 public:
  // Opens the camera `target` names: firmware for a blank controller, the
  // version check, the identification word. On success *out owns the open
  // camera and its worker runs.
  static tarncam_status Open(tarncam::api::Target target, bool ownsSim,
                             std::unique_ptr<tarncam_camera>* out);
  ~tarncam_camera();
  tarncam_camera(const tarncam_camera&) = delete;
  tarncam_camera& operator=(const tarncam_camera&) = delete;

  // Counts one call inside the handle for Close to wait out; refused (false)
  // once Close has begun.
  class Call {
   public:
    explicit Call(tarncam_camera& c);
    ~Call();
    explicit operator bool() const { return entered; }

   private:
    tarncam_camera& cam;
    bool entered;
  };

  tarncam_status Close();
  bool Gone() const { return gone.load(std::memory_order_acquire); }
  tarncam_camera_info Info();
  const std::string& Id() const { return target.id; }

  tarncam_status SetControl(tarncam_control control, int64_t value);
  int64_t GetControl(tarncam_control control);
  tarncam_status SetWindow(uint32_t width, uint32_t height);
  tarncam_window Window();

  tarncam_status Start(void* buffer, size_t size, tarncam_frame_callback callback, void* user);
  tarncam_status Wait(uint32_t timeoutMs, tarncam_frame_record* record);
  tarncam_status Cancel();

  tarncam_status GuidePulse(uint32_t directions, int32_t xMs, int32_t yMs);
  tarncam_status GuideStop(uint32_t axes);
  tarncam_guide_state GuideState();

 private:
  struct Job {
    tarncam::api::Settings settings;
    uint8_t* buffer = nullptr;
    tarncam_frame_callback callback = nullptr;
    void* user = nullptr;
    uint64_t sequence = 0;
  };

  tarncam_camera(tarncam::api::Target target, bool ownsSim);
  void WorkerLoop();
  tarncam_frame_record Expose(const Job& job);
  // Remembers that the camera has gone when `r` says so; passes `r` on.
  const tarncam::UsbResult& Noticed(const tarncam::UsbResult& r);
  // Ends the running exposure early and waits until it has ended (not when
  // called on the worker: the callback's own exposure has ended already).
  void StopExposure();
  // Runs `act` under abortMu while exposure `target` is the one reading.
  template <typename Act>
  void WhileReading(uint64_t target, Act act);

  tarncam::api::Target target;
  bool ownsSim;  // tarncam_open_simulated: the simulated camera goes with the handle
  std::unique_ptr<tarncam::CameraState> state;
  tarncam::Camera core;
  tarncam_camera_info info{};

  std::mutex mu;
  std::condition_variable cv;  // exposures ending, jobs arriving, calls leaving
  tarncam::api::Settings settings;
  tarncam::GuideTracker guide;
  std::atomic<bool> gone{false};
  bool closing = false;
  int calls = 0;

  // Exposures. `stop` is read by the readout on the worker.
  bool running = false;
  bool jobPending = false;
  bool workerExit = false;
  Job job;
  uint64_t started = 0;
  bool haveRecord = false;
  tarncam_frame_record lastRecord{};
  std::atomic<uint32_t> stop{0};
  // The exposure whose transfers a stop may end now (0: none): set by the
  // worker before it programs the sensor and cleared, under abortMu, once
  // its reads are over. A stop sends the abort byte and cancels transfers
  // under abortMu, and only while this is the exposure it was aimed at: a
  // later exposure, chained from the callback, never meets them.
  std::mutex abortMu;
  uint64_t reading = 0;
  std::thread worker;
};
