#pragma once
// The camera's whole state: one plain record per camera, statically allocated
// for the exported interface, constant-initialised (no constructor runs at
// load). Every operation of the library works on a Camera: this record plus
// the platform that reaches the device.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/handles.h"
#include "platform/system_services.h"
#include "platform/usb_transport.h"
#include "tarncam_build_config.h"

namespace tarncam {

// Sensor and buffer limits.
inline constexpr uint32_t kSensorWidth = 752;
inline constexpr uint32_t kSensorHeight = 480;
inline constexpr std::size_t kFrameBufferEntries = 784000;

// A switch: 0 is off, anything else on; stored with all 32 bits.
using Switch = uint32_t;

// Sensor gain codes by gain index (0..47): 16..31, then 32..78 in steps of 2,
// then 104..111.
inline constexpr std::array<uint16_t, 48> gainTable = [] {
  std::array<uint16_t, 48> t{};
  for (int i = 0; i < 16; ++i) t[i] = static_cast<uint16_t>(16 + i);
  for (int i = 0; i < 24; ++i) t[16 + i] = static_cast<uint16_t>(32 + 2 * i);
  for (int i = 0; i < 8; ++i) t[40 + i] = static_cast<uint16_t>(104 + i);
  return t;
}();

// Bookkeeping that lets a closed device's handles outlive the transfers still
// running on them (a readout abandoned by closeUSB may sit in a bulk read for
// seconds). Guarded by `busy`, a spin lock held for a few instructions only.
struct LinkBook {
  struct Retired {
    uint32_t generation;
    uint32_t users;
    Handle device;
    Handle usb;
    bool used;
  };
  static constexpr int kRetiredSlots = 4;

  std::atomic<bool> busy{false};
  uint32_t generation = 0;  // of the handles now in deviceHandle/usbHandle
  uint32_t users = 0;       // transfers in flight on them
  Retired retired[kRetiredSlots]{};
};

// How a readout ended; the 36 exports deliver every frame alike.
enum FrameOutcome : uint32_t {
  kFrameNone = 0,      // no readout yet, or it found no device open
  kFrameComplete = 1,  // a read delivered the whole transfer
  kFrameShort = 2,     // the read ended early with success (an abort, or less sent)
  kFrameFailed = 3,    // every read failed: the raw buffer's old content was delivered
};
// Added to the outcome when the camera had not confirmed the settings the
// readout assumed (their last sending failed, or none since the open).
inline constexpr uint32_t kFrameUnconfirmed = 0x100;

struct CameraState {
  // --- Caller settings (stored by the setters and ProgramCamera) ---
  uint16_t width = 752;
  uint16_t height = 480;
  uint8_t dynamicRange = 8;  // 8: 8-bit samples; 9: 10-bit samples in 16-bit words
  Switch verticalFlip = 0;
  Switch horizontalFlip = 0;
  Switch agc = 0;
  Switch companding = 0;
  Switch rowNoise = 1;
  uint32_t adcRef = 0;  // always 0..6
  uint32_t digitalGain = 244;
  uint32_t exposure = 50;  // ms, as last given to ProgramCamera
  uint32_t gain = 50;      // 0..100 scale, larger acts as 100
  uint32_t offset = 127;   // stored only
  uint32_t extraValue = 0;  // stored only

  // --- Fixed sensor timing and derived geometry ---
  uint16_t hBlank = 44;
  uint16_t vBlank = 44;
  uint32_t rowStart = 4;
  uint32_t rowPitch = 0;
  uint32_t rowsTotal = 0;
  uint32_t frameTime = 0;
  uint32_t leadTime = 0;
  uint32_t readLength = 0;
  uint32_t tailTime = 0;
  uint32_t rowBytes = 0;
  uint32_t rowsToCopy = 0;

  // --- Programming memory ---
  std::array<uint8_t, 64> lastBlock{};
  uint32_t lastExposure = 100;
  Switch forceResend = 0;

  // --- USB link ---
  // deviceHandle is read by the readout worker while the caller may close the
  // device, hence atomic; usbHandle is only touched under link.busy.
  std::atomic<Handle> deviceHandle{kInvalidHandle};
  Handle usbHandle = kInvalidHandle;
  uint32_t devicePathSize = kDevicePathCapacity;
  char devicePath[kDevicePathCapacity]{};
  uint8_t pipeIn = 0;
  uint8_t pipeOut = 0;
  LinkBook link;
  // Why the last OpenDevice ended without a camera (kOk when it opened
  // one): for native clients, which tell "not there" from "no permission"
  // or "in use". Written by the opening thread only.
  UsbResult lastOpen = UsbResult::Fail(UsbStatus::kNoDevice);

  // --- Capture and output ---
  std::atomic<uint32_t> exposing{0};
  // The camera API's stop (null for the exported functions): once it reads
  // nonzero, the settle after a register block and a retry's controller
  // restart stop waiting (ProtocolWait). The exports keep their full waits.
  const std::atomic<uint32_t>* waitStop = nullptr;
  // The exposure in progress was accepted with a device open: it ends with a
  // semaphore release even when a close overtakes its readout.
  std::atomic<uint32_t> exposureHadDevice{0};
  // Readouts started through the exported exposures and not yet returned,
  // abandoned ones included (closeUSB clears `exposing` without waiting for
  // its readout). An open waits for this to reach 0, so that a readout of an
  // earlier session never meets the next one.
  std::atomic<uint32_t> readoutsRunning{0};
  uint8_t* frameDest = nullptr;
  std::atomic<Handle> doneSemaphore{0};
  std::atomic<uint32_t> wideValid{0};
  uint32_t bufferMode = 0;
  // Diagnostics for native clients: bulk reads attempted and failed since
  // load. Nothing in the interface reads them.
  std::atomic<uint32_t> readsAttempted{0};
  std::atomic<uint32_t> readsFailed{0};
  // How the last readout ended (FrameOutcome, with kFrameUnconfirmed), and
  // the bytes it asked for and received. Written before `exposing` is
  // cleared, so a caller that saw the exposure end reads them whole.
  std::atomic<uint32_t> lastFrameOutcome{0};
  std::atomic<uint32_t> lastFrameExpected{0};
  std::atomic<uint32_t> lastFrameReceived{0};
  alignas(64) std::array<uint8_t, kFrameBufferEntries> rawBuffer{};
  alignas(64) std::array<uint16_t, kFrameBufferEntries> wideBuffer{};

  bool DeviceOpen() const {
    return deviceHandle.load(std::memory_order_acquire) != kInvalidHandle;
  }
};

// The platform a camera is reached through.
struct Platform {
  UsbTransport* usb;
  SystemServices* system;
  // Whether the readout still retries, through controller resets, a read
  // that failed because the camera left the bus. The DLL does, as its
  // callers know it; the native library ends the readout at once, since no
  // reset can reach a camera that is gone.
  bool retryLostDevice = true;
  // How much longer than the fixed 5 s after a firmware download the open
  // looks for the controller to come back. The DLL does not (0), as its
  // callers know it; natively a slow controller is given this long.
  uint32_t renumerationGraceMs = 0;
};

// What every operation of the library is given: one camera's state and its
// platform. The exported interface binds one static pair; a native client may
// run several side by side.
struct Camera {
  CameraState& state;
  Platform& platform;

  UsbTransport& usb() const { return *platform.usb; }
  SystemServices& sys() const { return *platform.system; }
};

// One of the protocol's fixed waits (the settle, a controller restart): in
// full, unless the camera's waitStop is set or gets set meanwhile. Returns
// whether the stop cut it short.
inline bool ProtocolWait(Camera& cam, uint32_t ms) {
  const std::atomic<uint32_t>* stop = cam.state.waitStop;
  if (stop == nullptr) {
    cam.sys().SleepAlertable(ms);
    return false;
  }
  return cam.sys().SleepUnless(*stop, ms);
}

}  // namespace tarncam
