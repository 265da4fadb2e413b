#pragma once
// The INDI device: one camera of the library's camera API as an INDI CCD
// with a guide port.
//
// Threads. INDI calls the device on the driver's main thread, which runs the
// event loop. The camera's worker thread ends every exposure in a callback;
// single exposures are handed to the main thread through a pipe that the
// event loop watches, so that every property changes on the main thread.
// Video frames go from the worker straight to INDI's stream manager, which
// is made for being fed from a capture thread. INDI itself builds and sends
// a finished exposure's FITS file on a thread of its own, holding
// ccdBufferLock while it reads the frame buffer.

#include <indiccd.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "indi/driver_support.h"
#include "tarncam/tarncam_camera.h"

namespace tarnindi {

class TarncamCcd : public INDI::CCD {
 public:
  TarncamCcd();
  ~TarncamCcd() override;
  TarncamCcd(const TarncamCcd&) = delete;
  TarncamCcd& operator=(const TarncamCcd&) = delete;

  const char* getDefaultName() override;
  bool initProperties() override;
  void ISGetProperties(const char* dev) override;
  bool updateProperties() override;
  bool ISNewNumber(const char* dev, const char* name, double values[], char* names[],
                   int n) override;
  bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                   int n) override;
  bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override;

  // Closes the camera and removes the simulated ones: what the driver does
  // before the process ends.
  void ReleaseCamera();

 protected:
  bool Connect() override;
  bool Disconnect() override;
  void simulationTriggered(bool enable) override;

  bool StartExposure(float duration) override;
  bool AbortExposure() override;
  bool UpdateCCDFrame(int x, int y, int w, int h) override;
  bool UpdateCCDBin(int hor, int ver) override;
  bool SetCaptureFormat(uint8_t index) override;
  bool StartStreaming() override;
  bool StopStreaming() override;
  void addFITSKeywords(INDI::CCDChip* targetChip) override;

  IPState GuideNorth(uint32_t ms) override;
  IPState GuideSouth(uint32_t ms) override;
  IPState GuideEast(uint32_t ms) override;
  IPState GuideWest(uint32_t ms) override;

  bool saveConfigItems(FILE* fp) override;

 private:
  // The converter's settings an exposure is taken with, which its record
  // does not carry.
  struct Converter {
    int64_t adcReference = 0;
    int64_t digitalGain = 0;
  };

  // What the camera's worker hands to the main thread.
  struct Event {
    enum class Kind { kFrame, kStreamFault, kCameraLost, kStartExposure } kind = Kind::kFrame;
    tarncam_camera* camera = nullptr;  // the camera it came from
    uint64_t exposure = 0;             // kFrame: the ticket's number
    Converter converter;               // kFrame: the ticket's
    tarncam_frame_record record{};
    std::vector<uint8_t> pixels;  // a complete frame's samples
    double duration = 0;          // kStartExposure
    std::string text;             // kStreamFault, kCameraLost: what happened
  };

  // Travels with each single exposure to its callback, which frees it, so
  // that a record is matched to the start it answers.
  struct ExposureTicket {
    TarncamCcd* self;
    uint64_t number;
    Converter converter;
  };

  // Per sky axis, the timer that reports the end of a pulse.
  struct GuideTimer {
    TarncamCcd* self = nullptr;
    SkyAxis axis = SkyAxis::kRa;
    int id = -1;
    PortPulse pulse;
  };

  // Cameras and connection.
  void ArmExitHandler();
  // Lists the cameras present and shows them in TARNCAM_CAMERAS.
  std::vector<tarncam_camera_info> ScanCameras();
  void DefineCameraList();
  bool ChooseCamera(std::string* id, std::string* error);
  bool AddSimulatedCameras();
  void RemoveSimulatedCameras();
  void CloseCamera();
  void CameraLost(const std::string& why);
  void ReportLost(tarncam_camera* camera, const std::string& when);
  bool ApplySettings();
  void PublishCameraInfo();

  // Settings.
  bool SetControl(tarncam_control control, int64_t value, const char* what);
  // Sets the controls of one property all or none (ControlChange::from is
  // filled in from the camera); says in the log why not.
  bool ApplyControls(std::vector<ControlChange> changes);
  bool ApplyWindow(uint32_t width, uint32_t height, std::string* note);
  // Tells the stream manager and, for a colour camera, CCD_CFA what a
  // frame of the current settings looks like.
  void UpdateFrameFormat();
  bool GeometryLocked(const char* what);
  GuideMapping CurrentGuideMapping() const;

  // Exposures.
  static void FrameEnded(tarncam_camera* camera, const tarncam_frame_record* record, void* self);
  static void StreamFrameEnded(tarncam_camera* camera, const tarncam_frame_record* record,
                               void* self);
  // Starts the stream's next frame; called with mutex_ held.
  tarncam_status StartStreamFrame(tarncam_camera* camera);
  void Post(Event event);
  static void WakeHandler(int fd, void* self);
  void HandleEvents();
  void FinishExposure(Event& event);
  void FailExposure(const std::string& why);

  // The countdown of a running exposure, on a timer of our own.
  static void PollHandler(void* self);
  void Poll();

  // Guiding.
  IPState Pulse(SkyAxis axis, bool plus, uint32_t ms);
  static void GuideTimerHandler(void* timer);
  void GuideTimerHit(GuideTimer& timer);
  void CancelGuideTimers();

  std::string Describe(tarncam_status status) const;

  const std::thread::id mainThread_;
  tarncam_camera* camera_ = nullptr;
  tarncam_camera_info info_{};
  // The number of the last single exposure started, and when, for the
  // countdown.
  uint64_t exposureNumber_ = 0;
  double exposureSeconds_ = 0;
  std::chrono::steady_clock::time_point exposureStart_;
  int pollTimer_ = -1;
  GuideTimer guideTimers_[2];

  // The buffer the camera's worker writes: one frame at most, 752 x 480
  // samples of two bytes.
  std::vector<uint8_t> captureBuffer_;

  // Shared with the camera's worker thread.
  std::mutex mutex_;
  std::deque<Event> events_;
  // Set while the stream runs: its frames chain from the worker, each
  // started under mutex_, and StopStreaming clears it before it cancels.
  bool streaming_ = false;
  bool streamFaultReported_ = false;
  int wakePipe_[2] = {-1, -1};
  int wakeCallback_ = -1;

  // The record of the frame in PrimaryCCD's buffer, for its FITS keywords;
  // written and read under ccdBufferLock, with the buffer.
  tarncam_frame_record fitsRecord_{};
  Converter fitsConverter_;

  // Simulated cameras this driver added, by identifier.
  std::vector<std::string> simulatedIds_;
  // The cameras of the last scan, in the order of TARNCAM_CAMERAS.
  std::vector<std::string> listedIds_;
  bool cameraListDefined_ = false;
  bool cameraConfigLoaded_ = false;

  // Properties of our own.
  INDI::PropertyText CameraIdTP{1};
  INDI::PropertySwitch CameraListSP{1};
  INDI::PropertySwitch CameraScanSP{1};
  INDI::PropertyText CameraInfoTP{5};
  INDI::PropertyNumber GainNP{1};
  INDI::PropertyNumber OffsetNP{1};
  INDI::PropertySwitch FlipSP{2};
  INDI::PropertySwitch SensorSP{3};
  INDI::PropertyNumber ConverterNP{2};
  INDI::PropertyNumber PixelSizeNP{2};
  INDI::PropertySwitch GuideMapSP{3};
};

}  // namespace tarnindi
