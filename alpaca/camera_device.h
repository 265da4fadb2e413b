#pragma once
// One camera as an Alpaca Camera device (ICameraV4): Alpaca's members mapped
// onto the camera API. The device holds what Alpaca has and the camera API
// does not (the subframe's corner, which the camera places itself; the image
// of the last exposure; whether that exposure was aborted); everything else
// is asked of the camera each time.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "alpaca/protocol.h"
#include "tarncam/tarncam_camera.h"

namespace alpaca {

// A finished frame, shared with replies being written while the next
// exposure runs.
struct Image {
  std::vector<uint8_t> pixels;
  tarncam_frame_record record{};
  FrameView View() const {
    return FrameView{pixels.data(), record.width, record.height, record.bytes_per_sample};
  }
};

class CameraDevice {
 public:
  // `id` is the camera API's identifier (tarncam_open_id); `label` what the
  // device is called in lists.
  CameraDevice(uint32_t number, std::string id, std::string label, bool colourHint);
  ~CameraDevice();
  CameraDevice(const CameraDevice&) = delete;
  CameraDevice& operator=(const CameraDevice&) = delete;

  // One Alpaca call. `put` says PUT (a write or a method) or GET. For the
  // image members a successful outcome also fills *image. Throws BadRequest
  // for an unknown member, the wrong verb, or a missing or unreadable
  // required parameter.
  Outcome Handle(bool put, const std::string& member, const Params& params,
                 std::shared_ptr<const Image>* image);

  const std::string& id() const { return id_; }
  uint32_t number() const { return number_; }
  std::string Name() const;
  std::string UniqueId() const;

  // Closes the camera (server shutdown).
  void Close();

 private:
  using Getter = Outcome (CameraDevice::*)(const Params&);
  struct Member {
    const char* name;
    Getter get;  // null: no GET
    Getter put;  // null: no PUT
  };
  static const std::vector<Member>& Members();

  // The camera API's answer as an Alpaca outcome; a camera that has gone
  // away is remembered as such.
  Outcome FromStatus(tarncam_status status, const std::string& what);
  // Nothing (ok) or the outcome to answer when no camera is usable.
  std::optional<Outcome> NotReady();
  // Collects the running exposure's record once it has ended.
  void Poll();
  Outcome Control(tarncam_control control, int64_t* value);
  Outcome SetControl(tarncam_control control, int64_t value, const char* what);
  Outcome NotImplemented(const char* what);

  // Common members.
  Outcome GetConnected(const Params&);
  Outcome PutConnected(const Params&);
  Outcome GetConnecting(const Params&);
  Outcome PutConnect(const Params&);
  Outcome PutDisconnect(const Params&);
  Outcome GetDescription(const Params&);
  Outcome GetDriverInfo(const Params&);
  Outcome GetDriverVersion(const Params&);
  Outcome GetInterfaceVersion(const Params&);
  Outcome GetName(const Params&);
  Outcome GetSupportedActions(const Params&);
  Outcome GetDeviceState(const Params&);
  Outcome PutAction(const Params&);
  Outcome PutCommand(const Params&);

  // Camera members.
  Outcome GetBayerOffsetX(const Params&);
  Outcome GetBayerOffsetY(const Params&);
  Outcome GetBin(const Params&);
  Outcome PutBinX(const Params&);
  Outcome PutBinY(const Params&);
  Outcome GetCameraState(const Params&);
  Outcome GetCameraXSize(const Params&);
  Outcome GetCameraYSize(const Params&);
  Outcome GetTrue(const Params&);
  Outcome GetFalse(const Params&);
  Outcome GetNotImplemented(const Params&);
  Outcome GetExposureMax(const Params&);
  Outcome GetExposureMin(const Params&);
  Outcome GetExposureResolution(const Params&);
  Outcome GetGain(const Params&);
  Outcome PutGain(const Params&);
  Outcome GetGainMax(const Params&);
  Outcome GetGainMin(const Params&);
  Outcome GetImageArray(const Params&);
  Outcome GetImageReady(const Params&);
  Outcome GetIsPulseGuiding(const Params&);
  Outcome GetLastExposureDuration(const Params&);
  Outcome GetLastExposureStartTime(const Params&);
  Outcome GetMaxAdu(const Params&);
  Outcome GetMaxBin(const Params&);
  Outcome GetNumX(const Params&);
  Outcome PutNumX(const Params&);
  Outcome GetNumY(const Params&);
  Outcome PutNumY(const Params&);
  Outcome GetOffset(const Params&);
  Outcome PutOffset(const Params&);
  Outcome GetOffsetMax(const Params&);
  Outcome GetOffsetMin(const Params&);
  Outcome GetPercentCompleted(const Params&);
  Outcome GetPixelSize(const Params&);
  Outcome GetReadoutMode(const Params&);
  Outcome PutReadoutMode(const Params&);
  Outcome GetReadoutModes(const Params&);
  Outcome GetSensorType(const Params&);
  Outcome GetStartX(const Params&);
  Outcome PutStartX(const Params&);
  Outcome GetStartY(const Params&);
  Outcome PutStartY(const Params&);
  Outcome PutCoolerOn(const Params&);
  Outcome PutFastReadout(const Params&);
  Outcome PutSetCcdTemperature(const Params&);
  Outcome PutSubExposureDuration(const Params&);
  Outcome PutAbortExposure(const Params&);
  Outcome PutPulseGuide(const Params&);
  Outcome PutStartExposure(const Params&);
  Outcome PutStopExposure(const Params&);

  int CameraState();
  bool IsPulseGuiding();
  int PercentCompleted();

  const uint32_t number_;
  const std::string id_;
  const std::string label_;
  const bool colourHint_;

  std::mutex mu_;
  tarncam_camera* camera_ = nullptr;
  bool gone_ = false;  // the camera went away under the open handle
  bool colour_ = false;
  uint32_t sensorWidth_ = 0, sensorHeight_ = 0;  // the full window, read at connection
  // The subframe Alpaca asked for; checked against the camera's placement
  // when an exposure starts.
  int32_t startX_ = 0, startY_ = 0, numX_ = 0, numY_ = 0;
  // The running exposure.
  bool exposing_ = false;
  std::vector<uint8_t> buffer_;
  std::chrono::steady_clock::time_point startedAt_{};
  int64_t exposureMs_ = 0;
  // How the last exposure ended.
  std::shared_ptr<const Image> image_;  // the last complete frame
  bool imageReady_ = false;             // image_ is of the last exposure
  bool aborted_ = false;
  int failedStatus_ = TARNCAM_OK;  // the last exposure failed with this
  std::string failedMessage_;
};

}  // namespace alpaca
