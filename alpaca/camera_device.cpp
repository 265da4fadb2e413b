#include "alpaca/camera_device.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace alpaca {
namespace {

constexpr int kInterfaceVersion = 4;

// ASCOM's CameraStates.
constexpr int kStateIdle = 0;
constexpr int kStateExposing = 2;
constexpr int kStateReading = 3;
constexpr int kStateError = 5;

// ASCOM's SensorType: the colour camera's mosaic has red at even row and even
// column of the full sensor (tarncam_camera.h), which is RGGB at offset 0, 0.
constexpr int kSensorMonochrome = 0;
constexpr int kSensorRggb = 2;

// Readout modes: Alpaca's index into this list is the camera's bit depth.
constexpr int kBitDepths[] = {8, 10};

std::string Format(const char* fmt, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, args...);
  return text;
}

std::string LastErrorText() {
  tarncam_error_detail d{};
  d.struct_size = sizeof d;
  tarncam_last_error(&d);
  return d.message[0] != '\0' ? std::string(d.message) : std::string();
}

int64_t Range(tarncam_control control, bool max) {
  int64_t lo = 0, hi = 0;
  tarncam_control_range(control, &lo, &hi, nullptr);
  return max ? hi : lo;
}

}  // namespace

CameraDevice::CameraDevice(uint32_t number, std::string id, std::string label, bool colourHint)
    : number_(number), id_(std::move(id)), label_(std::move(label)), colourHint_(colourHint) {}

CameraDevice::~CameraDevice() { Close(); }

void CameraDevice::Close() {
  std::lock_guard<std::mutex> lk(mu_);
  if (camera_ != nullptr) tarncam_close(camera_);
  camera_ = nullptr;
  exposing_ = false;
}

std::string CameraDevice::Name() const { return "tarncam " + label_; }

std::string CameraDevice::UniqueId() const {
  // Stable for as long as the camera keeps its identifier (its USB port, or
  // the simulator's number), in the GUID form clients expect.
  uint64_t h1 = 1469598103934665603ull, h2 = 1099511628211ull ^ 0x7461726e63616dull;
  for (unsigned char c : id_) {
    h1 = (h1 ^ c) * 1099511628211ull;
    h2 = (h2 ^ c) * 0x100000001b3ull + 0x9e3779b97f4a7c15ull;
  }
  return Format("%08" PRIx32 "-%04" PRIx32 "-%04" PRIx32 "-%04" PRIx32 "-%012" PRIx64,
                static_cast<uint32_t>(h1 >> 32), static_cast<uint32_t>((h1 >> 16) & 0xFFFF),
                static_cast<uint32_t>(h1 & 0xFFFF), static_cast<uint32_t>(h2 >> 48),
                h2 & 0xFFFFFFFFFFFFull);
}

// ---------------------------------------------------------------------------
// Plumbing

const std::vector<CameraDevice::Member>& CameraDevice::Members() {
  using D = CameraDevice;
  static const std::vector<Member> members = {
      // Common members.
      {"action", nullptr, &D::PutAction},
      {"commandblind", nullptr, &D::PutCommand},
      {"commandbool", nullptr, &D::PutCommand},
      {"commandstring", nullptr, &D::PutCommand},
      {"connect", nullptr, &D::PutConnect},
      {"connected", &D::GetConnected, &D::PutConnected},
      {"connecting", &D::GetConnecting, nullptr},
      {"description", &D::GetDescription, nullptr},
      {"devicestate", &D::GetDeviceState, nullptr},
      {"disconnect", nullptr, &D::PutDisconnect},
      {"driverinfo", &D::GetDriverInfo, nullptr},
      {"driverversion", &D::GetDriverVersion, nullptr},
      {"interfaceversion", &D::GetInterfaceVersion, nullptr},
      {"name", &D::GetName, nullptr},
      {"supportedactions", &D::GetSupportedActions, nullptr},
      // Camera.
      {"abortexposure", nullptr, &D::PutAbortExposure},
      {"bayeroffsetx", &D::GetBayerOffsetX, nullptr},
      {"bayeroffsety", &D::GetBayerOffsetY, nullptr},
      {"binx", &D::GetBin, &D::PutBinX},
      {"biny", &D::GetBin, &D::PutBinY},
      {"camerastate", &D::GetCameraState, nullptr},
      {"cameraxsize", &D::GetCameraXSize, nullptr},
      {"cameraysize", &D::GetCameraYSize, nullptr},
      {"canabortexposure", &D::GetTrue, nullptr},
      {"canasymmetricbin", &D::GetFalse, nullptr},
      {"canfastreadout", &D::GetFalse, nullptr},
      {"cangetcoolerpower", &D::GetFalse, nullptr},
      {"canpulseguide", &D::GetTrue, nullptr},
      {"cansetccdtemperature", &D::GetFalse, nullptr},
      {"canstopexposure", &D::GetFalse, nullptr},
      {"ccdtemperature", &D::GetNotImplemented, nullptr},
      {"cooleron", &D::GetNotImplemented, &D::PutCoolerOn},
      {"coolerpower", &D::GetNotImplemented, nullptr},
      {"electronsperadu", &D::GetNotImplemented, nullptr},
      {"exposuremax", &D::GetExposureMax, nullptr},
      {"exposuremin", &D::GetExposureMin, nullptr},
      {"exposureresolution", &D::GetExposureResolution, nullptr},
      {"fastreadout", &D::GetNotImplemented, &D::PutFastReadout},
      {"fullwellcapacity", &D::GetNotImplemented, nullptr},
      {"gain", &D::GetGain, &D::PutGain},
      {"gainmax", &D::GetGainMax, nullptr},
      {"gainmin", &D::GetGainMin, nullptr},
      {"gains", &D::GetNotImplemented, nullptr},
      {"hasshutter", &D::GetFalse, nullptr},
      {"heatsinktemperature", &D::GetNotImplemented, nullptr},
      {"imagearray", &D::GetImageArray, nullptr},
      {"imagearrayvariant", &D::GetImageArray, nullptr},
      {"imageready", &D::GetImageReady, nullptr},
      {"ispulseguiding", &D::GetIsPulseGuiding, nullptr},
      {"lastexposureduration", &D::GetLastExposureDuration, nullptr},
      {"lastexposurestarttime", &D::GetLastExposureStartTime, nullptr},
      {"maxadu", &D::GetMaxAdu, nullptr},
      {"maxbinx", &D::GetMaxBin, nullptr},
      {"maxbiny", &D::GetMaxBin, nullptr},
      {"numx", &D::GetNumX, &D::PutNumX},
      {"numy", &D::GetNumY, &D::PutNumY},
      {"offset", &D::GetOffset, &D::PutOffset},
      {"offsetmax", &D::GetOffsetMax, nullptr},
      {"offsetmin", &D::GetOffsetMin, nullptr},
      {"offsets", &D::GetNotImplemented, nullptr},
      {"percentcompleted", &D::GetPercentCompleted, nullptr},
      {"pixelsizex", &D::GetPixelSize, nullptr},
      {"pixelsizey", &D::GetPixelSize, nullptr},
      {"pulseguide", nullptr, &D::PutPulseGuide},
      {"readoutmode", &D::GetReadoutMode, &D::PutReadoutMode},
      {"readoutmodes", &D::GetReadoutModes, nullptr},
      {"sensorname", &D::GetNotImplemented, nullptr},
      {"sensortype", &D::GetSensorType, nullptr},
      {"setccdtemperature", &D::GetNotImplemented, &D::PutSetCcdTemperature},
      {"startexposure", nullptr, &D::PutStartExposure},
      {"startx", &D::GetStartX, &D::PutStartX},
      {"starty", &D::GetStartY, &D::PutStartY},
      {"stopexposure", nullptr, &D::PutStopExposure},
      {"subexposureduration", &D::GetNotImplemented, &D::PutSubExposureDuration},
  };
  return members;
}

Outcome CameraDevice::Handle(bool put, const std::string& member, const Params& params,
                             std::shared_ptr<const Image>* image) {
  const auto& members = Members();
  const auto it = std::find_if(members.begin(), members.end(),
                               [&](const Member& m) { return member == m.name; });
  if (it == members.end()) throw BadRequest("no camera member '" + member + "'");
  const Getter fn = put ? it->put : it->get;
  if (fn == nullptr) {
    throw BadRequest(std::string(put ? "PUT" : "GET") + " is not a verb of '" + member + "'");
  }
  std::lock_guard<std::mutex> lk(mu_);
  Outcome o = (this->*fn)(params);
  if (o.error == kNotImplemented && o.message.empty()) {
    o.message = "'" + member + "' is not implemented: the camera has no such feature";
  }
  if (image != nullptr && o.error == kOk &&
      (member == "imagearray" || member == "imagearrayvariant"))
    *image = image_;
  return o;
}

Outcome CameraDevice::FromStatus(tarncam_status status, const std::string& what) {
  if (status == TARNCAM_OK) return Outcome::Done();
  std::string detail = LastErrorText();
  std::string message = what + ": " + tarncam_status_text(status);
  if (!detail.empty()) message += " (" + detail + ")";
  switch (status) {
    case TARNCAM_ERR_INVALID_ARGUMENT:
    case TARNCAM_ERR_OUT_OF_RANGE:
      return Outcome::Fail(kInvalidValue, message);
    case TARNCAM_ERR_NO_DEVICE:
      gone_ = camera_ != nullptr;
      return Outcome::Fail(kNotConnected, message + "; connect again once the camera is back");
    case TARNCAM_ERR_EXPOSING:
      return Outcome::Fail(kInvalidOperation, message);
    case TARNCAM_ERR_CANCELLED:
      return Outcome::Fail(kOperationCancelled, message);
    default:
      return Outcome::Fail(kDriverError, message);
  }
}

std::optional<Outcome> CameraDevice::NotReady() {
  if (camera_ == nullptr) return Outcome::Fail(kNotConnected, "the camera is not connected");
  if (gone_) {
    return Outcome::Fail(kNotConnected,
                         "the camera has gone away (unplugged?); connect again once it is back");
  }
  Poll();
  if (gone_) return Outcome::Fail(kNotConnected, "the camera has gone away during the exposure");
  return std::nullopt;
}

void CameraDevice::Poll() {
  if (!exposing_ || camera_ == nullptr) return;
  tarncam_frame_record r{};
  r.struct_size = sizeof r;
  const tarncam_status s = tarncam_wait_frame(camera_, 0, &r);
  if (s == TARNCAM_ERR_WAIT_TIMEOUT) return;
  exposing_ = false;
  if (r.sequence == 0) {  // no record: the handle itself failed
    failedStatus_ = s;
    failedMessage_ = std::string("exposure: ") + tarncam_status_text(s);
    if (s == TARNCAM_ERR_NO_DEVICE) gone_ = true;
    return;
  }
  if (r.status == TARNCAM_OK) {
    auto image = std::make_shared<Image>();
    image->pixels = std::move(buffer_);
    image->record = r;
    image->record.buffer = image->pixels.data();
    image_ = std::move(image);
    imageReady_ = true;
  } else if (r.status == TARNCAM_ERR_CANCELLED) {
    aborted_ = true;
  } else {
    failedStatus_ = r.status;
    failedMessage_ = Format("the exposure failed: %s (%u of %u rows)",
                            tarncam_status_text(static_cast<tarncam_status>(r.status)),
                            r.rows_received, r.height);
    if (r.status == TARNCAM_ERR_NO_DEVICE) gone_ = true;
  }
  buffer_.clear();
}

Outcome CameraDevice::Control(tarncam_control control, int64_t* value) {
  if (auto o = NotReady()) return *o;
  return FromStatus(tarncam_get_control(camera_, control, value), "reading a setting");
}

Outcome CameraDevice::SetControl(tarncam_control control, int64_t value, const char* what) {
  if (auto o = NotReady()) return *o;
  return FromStatus(tarncam_set_control(camera_, control, value), what);
}

Outcome CameraDevice::NotImplemented(const char* what) {
  // An empty name is filled in by Handle with the member's.
  if (*what == '\0') return Outcome::Fail(kNotImplemented, "");
  return Outcome::Fail(kNotImplemented,
                       std::string(what) + " is not implemented: the camera has no such feature");
}

// ---------------------------------------------------------------------------
// Common members

Outcome CameraDevice::GetConnected(const Params&) {
  if (camera_ != nullptr && !gone_) {
    tarncam_camera_info info{};
    info.struct_size = sizeof info;
    if (tarncam_get_info(camera_, &info) == TARNCAM_ERR_NO_DEVICE) gone_ = true;
  }
  return Outcome::Value(camera_ != nullptr && !gone_);
}

Outcome CameraDevice::PutConnected(const Params& p) {
  return p.Bool("Connected") ? PutConnect(p) : PutDisconnect(p);
}

Outcome CameraDevice::GetConnecting(const Params&) {
  // Connect completes before its reply: nothing is ever half connected.
  return Outcome::Value(false);
}

Outcome CameraDevice::PutConnect(const Params&) {
  if (camera_ != nullptr && !gone_) return Outcome::Done();
  if (camera_ != nullptr) {  // gone: the camera API opens a camera that is back afresh
    tarncam_close(camera_);
    camera_ = nullptr;
  }
  exposing_ = false;
  buffer_.clear();
  image_.reset();
  imageReady_ = aborted_ = false;
  failedStatus_ = TARNCAM_OK;
  gone_ = false;
  tarncam_camera* cam = nullptr;
  const tarncam_status s = tarncam_open_id(id_.c_str(), &cam);
  if (s != TARNCAM_OK) {
    // Not 0x407: ASCOM keeps "not connected" for members that need a
    // connection; a connection that fails is the device's failure, with why
    // (absent, held by another program, no permission, ...).
    Outcome o = FromStatus(s, "connecting to " + id_);
    o.error = kDriverError;
    return o;
  }
  camera_ = cam;
  tarncam_camera_info info{};
  info.struct_size = sizeof info;
  tarncam_get_info(camera_, &info);
  colour_ = info.colour == 1;
  tarncam_window w{};
  w.struct_size = sizeof w;
  tarncam_get_window(camera_, &w);  // a freshly opened camera has its full window
  sensorWidth_ = w.width;
  sensorHeight_ = w.height;
  startX_ = startY_ = 0;
  numX_ = static_cast<int32_t>(sensorWidth_);
  numY_ = static_cast<int32_t>(sensorHeight_);
  return Outcome::Done();
}

Outcome CameraDevice::PutDisconnect(const Params&) {
  if (camera_ != nullptr) tarncam_close(camera_);  // ends a running exposure
  camera_ = nullptr;
  gone_ = exposing_ = false;
  buffer_.clear();
  return Outcome::Done();
}

Outcome CameraDevice::GetDescription(const Params&) {
  const bool colour = camera_ != nullptr ? colour_ : colourHint_;
  return Outcome::Value(Format("%u x %u CMOS ", TARNCAM_SENSOR_WIDTH, TARNCAM_SENSOR_HEIGHT) +
                        (colour ? "colour" : "monochrome") + " camera with guide port, " + id_);
}

Outcome CameraDevice::GetDriverInfo(const Params&) {
  const uint32_t v = tarncam_library_version();
  return Outcome::Value(Format("tarncam-alpaca, the Alpaca server of tarncam; library %u.%u.%u",
                               v >> 16, (v >> 8) & 0xFF, v & 0xFF));
}

Outcome CameraDevice::GetDriverVersion(const Params&) {
  const uint32_t v = tarncam_library_version();
  return Outcome::Value(Format("%u.%u", v >> 16, (v >> 8) & 0xFF));
}

Outcome CameraDevice::GetInterfaceVersion(const Params&) {
  return Outcome::Value(kInterfaceVersion);
}
Outcome CameraDevice::GetName(const Params&) { return Outcome::Value(Name()); }
Outcome CameraDevice::GetSupportedActions(const Params&) {
  return Outcome::Value(nlohmann::json::array());
}

Outcome CameraDevice::PutAction(const Params& p) {
  return Outcome::Fail(kActionNotImplemented, "no action '" + p.Find("Action").value_or("") + "'");
}

Outcome CameraDevice::PutCommand(const Params&) {
  return Outcome::Fail(kNotImplemented, "the camera takes no raw commands");
}

Outcome CameraDevice::GetDeviceState(const Params&) {
  nlohmann::json list = nlohmann::json::array();
  auto add = [&](const char* name, nlohmann::json v) {
    list.push_back({{"Name", name}, {"Value", std::move(v)}});
  };
  if (camera_ != nullptr && !gone_) {
    Poll();
    if (!gone_) {
      add("CameraState", CameraState());
      add("ImageReady", imageReady_);
      add("IsPulseGuiding", IsPulseGuiding());
      add("PercentCompleted", PercentCompleted());
    }
  }
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  add("TimeStamp", FitsUtc(ns) + "Z");
  return Outcome::Value(std::move(list));
}

// ---------------------------------------------------------------------------
// Geometry

Outcome CameraDevice::GetBayerOffsetX(const Params&) {
  if (auto o = NotReady()) return *o;
  if (!colour_) return Outcome::Fail(kNotImplemented, "a monochrome camera has no Bayer offset");
  return Outcome::Value(0);
}
Outcome CameraDevice::GetBayerOffsetY(const Params& p) { return GetBayerOffsetX(p); }

Outcome CameraDevice::GetSensorType(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(colour_ ? kSensorRggb : kSensorMonochrome);
}

Outcome CameraDevice::GetBin(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(1);
}

Outcome CameraDevice::PutBinX(const Params& p) {
  const int32_t bin = p.Int("BinX");
  if (auto o = NotReady()) return *o;
  if (bin != 1)
    return Outcome::Fail(kInvalidValue, Format("BinX %d: the camera does not bin", bin));
  return Outcome::Done();
}

Outcome CameraDevice::PutBinY(const Params& p) {
  const int32_t bin = p.Int("BinY");
  if (auto o = NotReady()) return *o;
  if (bin != 1)
    return Outcome::Fail(kInvalidValue, Format("BinY %d: the camera does not bin", bin));
  return Outcome::Done();
}

Outcome CameraDevice::GetMaxBin(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(1);
}

Outcome CameraDevice::GetCameraXSize(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(sensorWidth_);
}

Outcome CameraDevice::GetCameraYSize(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(sensorHeight_);
}

Outcome CameraDevice::GetPixelSize(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(TARNCAM_NOMINAL_PIXEL_SIZE_UM);
}

// The subframe is stored as given and judged when an exposure starts, where
// Alpaca expects a window the camera cannot take to be refused.
#define TARNCAM_ALPACA_SUBFRAME(Name, field)         \
  Outcome CameraDevice::Get##Name(const Params&) {   \
    if (auto o = NotReady()) return *o;              \
    return Outcome::Value(field);                    \
  }                                                  \
  Outcome CameraDevice::Put##Name(const Params& p) { \
    const int32_t v = p.Int(#Name);                  \
    if (auto o = NotReady()) return *o;              \
    field = v;                                       \
    return Outcome::Done();                          \
  }
TARNCAM_ALPACA_SUBFRAME(StartX, startX_)
TARNCAM_ALPACA_SUBFRAME(StartY, startY_)
TARNCAM_ALPACA_SUBFRAME(NumX, numX_)
TARNCAM_ALPACA_SUBFRAME(NumY, numY_)
#undef TARNCAM_ALPACA_SUBFRAME

// ---------------------------------------------------------------------------
// Settings

Outcome CameraDevice::GetTrue(const Params&) { return Outcome::Value(true); }
Outcome CameraDevice::GetFalse(const Params&) { return Outcome::Value(false); }
Outcome CameraDevice::GetNotImplemented(const Params&) { return NotImplemented(""); }
// Writes of what the camera lacks still read their parameter first, so that
// a malformed request is a 400 here as everywhere.
Outcome CameraDevice::PutCoolerOn(const Params& p) {
  p.Bool("CoolerOn");
  return NotImplemented("CoolerOn");
}
Outcome CameraDevice::PutFastReadout(const Params& p) {
  p.Bool("FastReadout");
  return NotImplemented("FastReadout");
}
Outcome CameraDevice::PutSetCcdTemperature(const Params& p) {
  p.Double("SetCCDTemperature");
  return NotImplemented("SetCCDTemperature");
}
Outcome CameraDevice::PutSubExposureDuration(const Params& p) {
  p.Double("SubExposureDuration");
  return NotImplemented("SubExposureDuration");
}

Outcome CameraDevice::GetExposureMax(const Params&) {
  return Outcome::Value(static_cast<double>(Range(TARNCAM_CONTROL_EXPOSURE_MS, true)) / 1000.0);
}
Outcome CameraDevice::GetExposureMin(const Params&) {
  return Outcome::Value(static_cast<double>(Range(TARNCAM_CONTROL_EXPOSURE_MS, false)) / 1000.0);
}
Outcome CameraDevice::GetExposureResolution(const Params&) {
  return Outcome::Value(0.001);  // the camera takes whole milliseconds
}

Outcome CameraDevice::GetGain(const Params&) {
  int64_t v = 0;
  Outcome o = Control(TARNCAM_CONTROL_GAIN, &v);
  return o.error != kOk ? o : Outcome::Value(v);
}
Outcome CameraDevice::PutGain(const Params& p) {
  return SetControl(TARNCAM_CONTROL_GAIN, p.Int("Gain"), "setting Gain");
}
Outcome CameraDevice::GetGainMax(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(Range(TARNCAM_CONTROL_GAIN, true));
}
Outcome CameraDevice::GetGainMin(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(Range(TARNCAM_CONTROL_GAIN, false));
}

// The camera has no offset of its own: like the INDI driver, the value is
// kept and travels with each frame's record.
Outcome CameraDevice::GetOffset(const Params&) {
  int64_t v = 0;
  Outcome o = Control(TARNCAM_CONTROL_OFFSET, &v);
  return o.error != kOk ? o : Outcome::Value(v);
}
Outcome CameraDevice::PutOffset(const Params& p) {
  return SetControl(TARNCAM_CONTROL_OFFSET, p.Int("Offset"), "setting Offset");
}
Outcome CameraDevice::GetOffsetMax(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(Range(TARNCAM_CONTROL_OFFSET, true));
}
Outcome CameraDevice::GetOffsetMin(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(Range(TARNCAM_CONTROL_OFFSET, false));
}

Outcome CameraDevice::GetReadoutMode(const Params&) {
  int64_t depth = 0;
  Outcome o = Control(TARNCAM_CONTROL_BIT_DEPTH, &depth);
  if (o.error != kOk) return o;
  return Outcome::Value(depth == kBitDepths[1] ? 1 : 0);
}

Outcome CameraDevice::PutReadoutMode(const Params& p) {
  const int32_t mode = p.Int("ReadoutMode");
  if (auto o = NotReady()) return *o;
  if (mode < 0 || mode > 1) {
    return Outcome::Fail(kInvalidValue,
                         Format("ReadoutMode %d: the modes are 0 (8 bit) and 1 (10 bit)", mode));
  }
  return SetControl(TARNCAM_CONTROL_BIT_DEPTH, kBitDepths[mode], "setting ReadoutMode");
}

Outcome CameraDevice::GetReadoutModes(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(nlohmann::json::array({"8 bit", "10 bit"}));
}

Outcome CameraDevice::GetMaxAdu(const Params&) {
  int64_t depth = 0;
  Outcome o = Control(TARNCAM_CONTROL_BIT_DEPTH, &depth);
  if (o.error != kOk) return o;
  return Outcome::Value((int64_t{1} << depth) - 1);
}

// ---------------------------------------------------------------------------
// Exposures

int CameraDevice::CameraState() {
  if (exposing_) {
    const auto elapsed = std::chrono::steady_clock::now() - startedAt_;
    return elapsed < std::chrono::milliseconds(exposureMs_) ? kStateExposing : kStateReading;
  }
  if (failedStatus_ != TARNCAM_OK) return kStateError;
  return kStateIdle;
}

int CameraDevice::PercentCompleted() {
  if (!exposing_) return imageReady_ ? 100 : 0;
  if (exposureMs_ <= 0) return 100;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - startedAt_)
                           .count();
  return static_cast<int>(std::clamp<int64_t>(elapsed * 100 / exposureMs_, 0, 100));
}

Outcome CameraDevice::GetCameraState(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(CameraState());
}

Outcome CameraDevice::GetPercentCompleted(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(PercentCompleted());
}

Outcome CameraDevice::GetImageReady(const Params&) {
  if (auto o = NotReady()) return *o;
  return Outcome::Value(imageReady_);
}

Outcome CameraDevice::GetImageArray(const Params&) {
  if (auto o = NotReady()) return *o;
  if (imageReady_) return Outcome::Done();  // the server encodes image_
  if (exposing_) return Outcome::Fail(kInvalidOperation, "the exposure has not ended yet");
  if (aborted_) return Outcome::Fail(kOperationCancelled, "the last exposure was aborted");
  if (failedStatus_ != TARNCAM_OK) return Outcome::Fail(kInvalidOperation, failedMessage_);
  return Outcome::Fail(kInvalidOperation, "no exposure has been taken");
}

Outcome CameraDevice::GetLastExposureDuration(const Params&) {
  if (auto o = NotReady()) return *o;
  if (!image_) return Outcome::Fail(kValueNotSet, "no exposure has completed");
  return Outcome::Value(image_->record.exposure_ms / 1000.0);
}

Outcome CameraDevice::GetLastExposureStartTime(const Params&) {
  if (auto o = NotReady()) return *o;
  if (!image_) return Outcome::Fail(kValueNotSet, "no exposure has completed");
  return Outcome::Value(FitsUtc(image_->record.start_utc_ns));
}

Outcome CameraDevice::PutStartExposure(const Params& p) {
  const double duration = p.Double("Duration");
  p.Bool("Light");  // the camera has no shutter: light and dark frames are taken alike
  if (auto o = NotReady()) return *o;
  if (exposing_) return Outcome::Fail(kInvalidOperation, "an exposure is already running");
  const double maxSeconds = static_cast<double>(Range(TARNCAM_CONTROL_EXPOSURE_MS, true)) / 1000.0;
  if (duration < 0 || duration > maxSeconds) {
    return Outcome::Fail(kInvalidValue,
                         Format("Duration %g s is outside 0 .. %g s", duration, maxSeconds));
  }
  if (numX_ < 1 || numY_ < 1) {
    return Outcome::Fail(
        kInvalidValue,
        Format("NumX %d, NumY %d: a subframe needs at least one pixel", numX_, numY_));
  }
  Outcome o = FromStatus(
      tarncam_set_window(camera_, static_cast<uint32_t>(numX_), static_cast<uint32_t>(numY_)),
      Format("a %d x %d subframe", numX_, numY_));
  if (o.error != kOk) return o;
  tarncam_window w{};
  w.struct_size = sizeof w;
  o = FromStatus(tarncam_get_window(camera_, &w), "reading the window");
  if (o.error != kOk) return o;
  if (static_cast<int64_t>(w.x_origin) != startX_ || static_cast<int64_t>(w.y_origin) != startY_) {
    return Outcome::Fail(
        kInvalidValue,
        Format("the camera places a %d x %d subframe itself, at StartX %u, StartY %u; "
               "StartX %d, StartY %d cannot be taken",
               numX_, numY_, w.x_origin, w.y_origin, startX_, startY_));
  }
  const int64_t ms = std::llround(duration * 1000.0);
  o = FromStatus(tarncam_set_control(camera_, TARNCAM_CONTROL_EXPOSURE_MS, ms), "Duration");
  if (o.error != kOk) return o;
  buffer_.assign(w.frame_bytes, 0);
  o = FromStatus(tarncam_start_exposure(camera_, buffer_.data(), buffer_.size(), nullptr, nullptr),
                 "starting the exposure");
  if (o.error != kOk) {
    buffer_.clear();
    return o;
  }
  exposing_ = true;
  startedAt_ = std::chrono::steady_clock::now();
  exposureMs_ = ms;
  imageReady_ = aborted_ = false;
  failedStatus_ = TARNCAM_OK;
  return Outcome::Done();
}

Outcome CameraDevice::PutAbortExposure(const Params&) {
  if (auto o = NotReady()) return *o;
  if (!exposing_) return Outcome::Done();
  Outcome o = FromStatus(tarncam_cancel_exposure(camera_), "aborting the exposure");
  Poll();  // the exposure has ended: collect its record
  return o;
}

Outcome CameraDevice::PutStopExposure(const Params&) {
  // Ending an exposure early ends its frame too: the camera cannot read out
  // what it has gathered so far, hence CanStopExposure false.
  return Outcome::Fail(
      kNotImplemented,
      "the camera cannot end an exposure early and keep its image; use AbortExposure");
}

// ---------------------------------------------------------------------------
// Guide port

bool CameraDevice::IsPulseGuiding() {
  tarncam_guide_state g{};
  g.struct_size = sizeof g;
  if (tarncam_guide_get_state(camera_, &g) == TARNCAM_ERR_NO_DEVICE) gone_ = true;
  return g.x_direction != 0 || g.y_direction != 0;
}

Outcome CameraDevice::GetIsPulseGuiding(const Params&) {
  if (auto o = NotReady()) return *o;
  const bool guiding = IsPulseGuiding();
  if (gone_) return Outcome::Fail(kNotConnected, "the camera has gone away");
  return Outcome::Value(guiding);
}

Outcome CameraDevice::PutPulseGuide(const Params& p) {
  const int32_t direction = p.Int("Direction");
  const int32_t duration = p.Int("Duration");
  if (auto o = NotReady()) return *o;
  // North, south, east, west as the INDI driver maps them without its swap
  // and reverse options: declination on Y, right ascension on X.
  static constexpr uint32_t kPort[] = {TARNCAM_GUIDE_PLUS_Y, TARNCAM_GUIDE_MINUS_Y,
                                       TARNCAM_GUIDE_PLUS_X, TARNCAM_GUIDE_MINUS_X};
  if (direction < 0 || direction > 3) {
    return Outcome::Fail(kInvalidValue,
                         Format("Direction %d: 0 north, 1 south, 2 east, 3 west", direction));
  }
  if (duration < 0)
    return Outcome::Fail(kInvalidValue, Format("Duration %d ms is negative", duration));
  if (duration == 0) return Outcome::Done();  // a pulse of no length moves nothing
  const uint32_t port = kPort[direction];
  const bool onX = port == TARNCAM_GUIDE_PLUS_X || port == TARNCAM_GUIDE_MINUS_X;
  // Returns once the camera has taken the command; the camera times the
  // pulse itself, and IsPulseGuiding follows its guide state.
  return FromStatus(tarncam_guide_pulse(camera_, port, onX ? duration : 0, onX ? 0 : duration),
                    "pulse guide");
}

}  // namespace alpaca
