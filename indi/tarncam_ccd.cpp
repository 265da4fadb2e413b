#include "indi/tarncam_ccd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <indiguiderinterface.h>
#include <stream/streammanager.h>

namespace tarnindi {
namespace {

constexpr const char* kDeviceName = "Tarncam CCD";

// Nothing in the camera tells its pixel pitch: the nominal one is the
// default, users set theirs from the data sheet, and the driver saves it
// with its configuration.
constexpr double kDefaultPixelSizeUm = TARNCAM_NOMINAL_PIXEL_SIZE_UM;

// The countdown of a running exposure is refreshed this often.
constexpr uint32_t kPollMs = 500;

constexpr const char* kFrameProperty = "CCD_FRAME";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

bool IsOn(const INDI::PropertySwitch& p, size_t index) { return p[index].getState() == ISS_ON; }

bool IsDevice(const char* dev, const char* name) {
  return dev != nullptr && std::strcmp(dev, name) == 0;
}

// The value a client sent for `element`, or `current` when it sent none.
double ValueFor(const char* element, double current, const double values[], char* names[], int n) {
  for (int i = 0; i < n; ++i) {
    if (names[i] != nullptr && std::strcmp(names[i], element) == 0) return values[i];
  }
  return current;
}

// The state a client sent for `element`, or `current` when it sent none.
bool SwitchFor(const char* element, bool current, const ISState states[], char* names[], int n) {
  for (int i = 0; i < n; ++i) {
    if (names[i] != nullptr && std::strcmp(names[i], element) == 0) return states[i] == ISS_ON;
  }
  return current;
}

INDI_PIXEL_FORMAT PixelFormatFor(const char* bayerPattern) {
  if (std::strcmp(bayerPattern, "RGGB") == 0) return INDI_BAYER_RGGB;
  if (std::strcmp(bayerPattern, "GRBG") == 0) return INDI_BAYER_GRBG;
  if (std::strcmp(bayerPattern, "GBRG") == 0) return INDI_BAYER_GBRG;
  if (std::strcmp(bayerPattern, "BGGR") == 0) return INDI_BAYER_BGGR;
  return INDI_MONO;
}

void FillControl(INDI::WidgetView<INumber>& widget, const char* name, const char* label,
                 tarncam_control control) {
  int64_t min = 0, max = 0, value = 0;
  tarncam_control_range(control, &min, &max, &value);
  widget.fill(name, label, "%.f", static_cast<double>(min), static_cast<double>(max), 1,
              static_cast<double>(value));
}

ISState DefaultSwitch(tarncam_control control) {
  int64_t value = 0;
  tarncam_control_range(control, nullptr, nullptr, &value);
  return value != 0 ? ISS_ON : ISS_OFF;
}

}  // namespace

TarncamCcd::TarncamCcd()
    : mainThread_(std::this_thread::get_id()),
      captureBuffer_(size_t{kSensorWidth} * kSensorHeight * 2) {
  setVersion(TARNCAM_INDI_VERSION_MAJOR, TARNCAM_INDI_VERSION_MINOR);
}

// The device is a static object, destroyed after the camera library's own
// statics when the driver ends; ReleaseAtExit has closed the camera before.
TarncamCcd::~TarncamCcd() {
  if (wakeCallback_ >= 0) IERmCallback(wakeCallback_);
  for (int fd : wakePipe_) {
    if (fd >= 0) close(fd);
  }
}

const char* TarncamCcd::getDefaultName() { return kDeviceName; }

namespace {
TarncamCcd* exitDevice = nullptr;
void ReleaseCameraAtExit() { exitDevice->ReleaseCamera(); }
}  // namespace

void TarncamCcd::ArmExitHandler() {
  // Exit handlers and static destructors run in the reverse order of their
  // registration. Registered once the library is in use, this handler runs
  // while the library's statics still stand, and closes the camera (ending
  // an exposure in progress) when the driver ends, as on the end of its
  // input from indiserver.
  if (exitDevice != nullptr) return;
  exitDevice = this;
  std::atexit(&ReleaseCameraAtExit);
}

void TarncamCcd::ReleaseCamera() {
  CloseCamera();
  RemoveSimulatedCameras();
}

// ---------------------------------------------------------------------------
// Properties

bool TarncamCcd::initProperties() {
  // Capabilities first: the base class creates the stream manager and the
  // guide properties from them. Colour cameras add the Bayer capability when
  // they connect.
  SetCCDCapability(CCD_CAN_ABORT | CCD_CAN_SUBFRAME | CCD_HAS_ST4_PORT | CCD_HAS_STREAMING);
  INDI::CCD::initProperties();
  setDriverInterface(getDriverInterface() | GUIDER_INTERFACE);

  const char* dev = getDeviceName();

  CameraIdTP[0].fill("ID", "Identifier", "");
  CameraIdTP.fill(dev, "TARNCAM_CAMERA", "Camera", MAIN_CONTROL_TAB, IP_RW, 60, IPS_IDLE);
  CameraListSP[0].fill("NONE", "(not scanned yet)", ISS_OFF);
  CameraListSP.fill(dev, "TARNCAM_CAMERAS", "Cameras", MAIN_CONTROL_TAB, IP_RW, ISR_ATMOST1, 60,
                    IPS_IDLE);
  CameraScanSP[0].fill("SCAN", "Scan again", ISS_OFF);
  CameraScanSP.fill(dev, "TARNCAM_SCAN", "Camera list", MAIN_CONTROL_TAB, IP_RW, ISR_ATMOST1, 60,
                    IPS_IDLE);

  CameraInfoTP[0].fill("ID", "Identifier", "");
  CameraInfoTP[1].fill("LOCATION", "Location", "");
  CameraInfoTP[2].fill("SERIAL", "Serial number", "");
  CameraInfoTP[3].fill("FIRMWARE", "Firmware version", "");
  CameraInfoTP[4].fill("SENSOR", "Sensor", "");
  CameraInfoTP.fill(dev, "TARNCAM_INFO", "Open camera", INFO_TAB, IP_RO, 60, IPS_IDLE);

  FillControl(GainNP[0], "GAIN", "Gain", TARNCAM_CONTROL_GAIN);
  GainNP.fill(dev, "CCD_GAIN", "Gain", MAIN_CONTROL_TAB, IP_RW, 60, IPS_IDLE);
  // The camera has no offset of its own: the value travels with the frame
  // (FITS OFFSET) for software that expects one.
  FillControl(OffsetNP[0], "OFFSET", "Offset (recorded only)", TARNCAM_CONTROL_OFFSET);
  OffsetNP.fill(dev, "CCD_OFFSET", "Offset", MAIN_CONTROL_TAB, IP_RW, 60, IPS_IDLE);

  FlipSP[0].fill("FLIP_HORIZONTAL", "Horizontal", DefaultSwitch(TARNCAM_CONTROL_FLIP_HORIZONTAL));
  FlipSP[1].fill("FLIP_VERTICAL", "Vertical", DefaultSwitch(TARNCAM_CONTROL_FLIP_VERTICAL));
  FlipSP.fill(dev, "FLIP", "Flip", IMAGE_SETTINGS_TAB, IP_RW, ISR_NOFMANY, 60, IPS_IDLE);

  SensorSP[0].fill("ROW_NOISE", "Row noise correction", DefaultSwitch(TARNCAM_CONTROL_ROW_NOISE));
  SensorSP[1].fill("AGC", "Automatic gain", DefaultSwitch(TARNCAM_CONTROL_AGC));
  SensorSP[2].fill("COMPANDING", "Companding", DefaultSwitch(TARNCAM_CONTROL_COMPANDING));
  SensorSP.fill(dev, "TARNCAM_SENSOR", "Sensor", IMAGE_SETTINGS_TAB, IP_RW, ISR_NOFMANY, 60,
                IPS_IDLE);

  FillControl(ConverterNP[0], "ADC_REFERENCE", "ADC reference", TARNCAM_CONTROL_ADC_REFERENCE);
  FillControl(ConverterNP[1], "DIGITAL_GAIN", "Digital gain", TARNCAM_CONTROL_DIGITAL_GAIN);
  ConverterNP.fill(dev, "TARNCAM_CONVERTER", "Converter", IMAGE_SETTINGS_TAB, IP_RW, 60, IPS_IDLE);

  PixelSizeNP[0].fill("PIXEL_SIZE_X", "Pixel width (um)", "%.2f", 0.1, 100, 0.01,
                      kDefaultPixelSizeUm);
  PixelSizeNP[1].fill("PIXEL_SIZE_Y", "Pixel height (um)", "%.2f", 0.1, 100, 0.01,
                      kDefaultPixelSizeUm);
  PixelSizeNP.fill(dev, "TARNCAM_PIXEL_SIZE", "Pixel size", IMAGE_INFO_TAB, IP_RW, 60, IPS_IDLE);

  GuideMapSP[0].fill("SWAP_AXES", "RA on Y, DEC on X", ISS_OFF);
  GuideMapSP[1].fill("REVERSE_RA", "Reverse RA", ISS_OFF);
  GuideMapSP[2].fill("REVERSE_DEC", "Reverse DEC", ISS_OFF);
  GuideMapSP.fill(dev, "TARNCAM_GUIDE_MAP", "Guide port", GUIDE_CONTROL_TAB, IP_RW, ISR_NOFMANY, 60,
                  IPS_IDLE);

  // 10-bit samples travel in 16-bit words.
  addCaptureFormat({"TARNCAM_8BIT", "8 bit", 8, true});
  addCaptureFormat({"TARNCAM_10BIT", "10 bit", 16, false});

  SetCCDParams(kSensorWidth, kSensorHeight, 8, kDefaultPixelSizeUm, kDefaultPixelSizeUm);
  PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.001, 3600, 0.001, false);

  addAuxControls();
  setDefaultPollingPeriod(kPollMs);

  if (wakePipe_[0] < 0) {
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) == 0) {
      wakeCallback_ = IEAddCallback(wakePipe_[0], &TarncamCcd::WakeHandler, this);
    } else {
      LOGF_ERROR("No pipe for the camera's events (%s): exposures cannot finish.",
                 std::strerror(errno));
    }
  }
  return true;
}

void TarncamCcd::ISGetProperties(const char* dev) {
  INDI::CCD::ISGetProperties(dev);
  defineProperty(CameraIdTP);
  if (!cameraConfigLoaded_) {
    loadConfig(true, CameraIdTP.getName());
    cameraConfigLoaded_ = true;
  }
  if (!cameraListDefined_) {
    ScanCameras();
  } else {
    defineProperty(CameraListSP);
  }
  defineProperty(CameraScanSP);
}

bool TarncamCcd::updateProperties() {
  INDI::CCD::updateProperties();
  if (isConnected()) {
    defineProperty(CameraInfoTP);
    defineProperty(GainNP);
    defineProperty(OffsetNP);
    defineProperty(FlipSP);
    defineProperty(SensorSP);
    defineProperty(ConverterNP);
    defineProperty(PixelSizeNP);
    defineProperty(GuideMapSP);
    // The saved settings, sent to the camera as they load.
    for (INDI::Property p :
         {INDI::Property(GainNP), INDI::Property(OffsetNP), INDI::Property(FlipSP),
          INDI::Property(SensorSP), INDI::Property(ConverterNP), INDI::Property(PixelSizeNP),
          INDI::Property(GuideMapSP)}) {
      loadConfig(true, p.getName());
    }
    UpdateFrameFormat();
  } else {
    deleteProperty(CameraInfoTP.getName());
    deleteProperty(GainNP.getName());
    deleteProperty(OffsetNP.getName());
    deleteProperty(FlipSP.getName());
    deleteProperty(SensorSP.getName());
    deleteProperty(ConverterNP.getName());
    deleteProperty(PixelSizeNP.getName());
    deleteProperty(GuideMapSP.getName());
  }
  return true;
}

bool TarncamCcd::ISNewNumber(const char* dev, const char* name, double values[], char* names[],
                             int n) {
  if (!IsDevice(dev, getDeviceName())) return INDI::CCD::ISNewNumber(dev, name, values, names, n);

  if (std::strcmp(name, kFrameProperty) == 0 && isConnected()) {
    auto frame = getNumber(kFrameProperty);
    const double x = ValueFor("X", PrimaryCCD.getSubX(), values, names, n);
    const double y = ValueFor("Y", PrimaryCCD.getSubY(), values, names, n);
    const double w = ValueFor("WIDTH", PrimaryCCD.getSubW(), values, names, n);
    const double h = ValueFor("HEIGHT", PrimaryCCD.getSubH(), values, names, n);
    if (GeometryLocked("The frame")) {
      frame.setState(IPS_ALERT);
      frame.apply("Frame refused: an exposure or the video stream is running.");
      return true;
    }
    const FittedSize fit = FitWindowSize(w, h);
    if (fit.refused) {
      frame.setState(IPS_ALERT);
      frame.apply("Frame refused: width and height must be at least 1 pixel; it stays %d x %d.",
                  PrimaryCCD.getSubW(), PrimaryCCD.getSubH());
      return true;
    }
    std::string error;
    if (!ApplyWindow(fit.width, fit.height, &error)) {
      frame.setState(IPS_ALERT);
      frame.apply("Frame refused: %s", error.c_str());
      return true;
    }
    const bool same =
        std::lround(x) == PrimaryCCD.getSubX() && std::lround(y) == PrimaryCCD.getSubY() &&
        std::lround(w) == PrimaryCCD.getSubW() && std::lround(h) == PrimaryCCD.getSubH();
    frame.setState(IPS_OK);
    if (same) {
      frame.apply();
      return true;
    }
    std::string why;
    if (fit.clipped) {
      why +=
          "; the sensor is " + std::to_string(kSensorWidth) + " x " + std::to_string(kSensorHeight);
    }
    if (fit.narrowed) {
      why += "; windows shorter than " + std::to_string(kSensorHeight) + " rows are at most " +
             std::to_string(kWindowedRowWidth) + " columns wide";
    }
    if (std::lround(x) != PrimaryCCD.getSubX() || std::lround(y) != PrimaryCCD.getSubY()) {
      why += "; the camera places the window itself (rows centred, columns from its fixed start)";
    }
    frame.apply("Frame adjusted to %d x %d at (%d, %d): requested %.0f x %.0f at (%.0f, %.0f)%s.",
                PrimaryCCD.getSubW(), PrimaryCCD.getSubH(), PrimaryCCD.getSubX(),
                PrimaryCCD.getSubY(), w, h, x, y, why.c_str());
    return true;
  }

  if (GainNP.isNameMatch(name) || OffsetNP.isNameMatch(name)) {
    INDI::PropertyNumber& p = GainNP.isNameMatch(name) ? GainNP : OffsetNP;
    const tarncam_control control = &p == &GainNP ? TARNCAM_CONTROL_GAIN : TARNCAM_CONTROL_OFFSET;
    const double v = ValueFor(p[0].getName(), p[0].getValue(), values, names, n);
    if (SetControl(control, std::llround(v), p[0].getLabel())) {
      p.update(values, names, n);
      p.setState(IPS_OK);
    } else {
      p.setState(IPS_ALERT);
    }
    p.apply();
    return true;
  }

  if (ConverterNP.isNameMatch(name)) {
    const int64_t adc =
        std::llround(ValueFor("ADC_REFERENCE", ConverterNP[0].getValue(), values, names, n));
    const int64_t digital =
        std::llround(ValueFor("DIGITAL_GAIN", ConverterNP[1].getValue(), values, names, n));
    const bool ok = ApplyControls({{TARNCAM_CONTROL_ADC_REFERENCE, 0, adc, "ADC reference"},
                                   {TARNCAM_CONTROL_DIGITAL_GAIN, 0, digital, "digital gain"}});
    if (ok) {
      // The values the camera took, whole numbers as it counts them.
      ConverterNP[0].setValue(static_cast<double>(adc));
      ConverterNP[1].setValue(static_cast<double>(digital));
    }
    ConverterNP.setState(ok ? IPS_OK : IPS_ALERT);
    ConverterNP.apply();
    return true;
  }

  if (PixelSizeNP.isNameMatch(name)) {
    // Only the pixel size: INDI's SetCCDParams would also reset the frame to
    // the whole sensor while the camera keeps its window, and the stream
    // manager, which sizes every frame from CCD_FRAME, would then refuse
    // them all.
    const bool ok = PixelSizeNP.update(values, names, n);
    {
      std::lock_guard<std::mutex> guard(ccdBufferLock);  // INDI's upload reads it
      PrimaryCCD.setPixelSize(PixelSizeNP[0].getValue(), PixelSizeNP[1].getValue());
    }
    PixelSizeNP.setState(ok ? IPS_OK : IPS_ALERT);
    PixelSizeNP.apply();
    return true;
  }

  return INDI::CCD::ISNewNumber(dev, name, values, names, n);
}

bool TarncamCcd::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                             int n) {
  if (!IsDevice(dev, getDeviceName())) return INDI::CCD::ISNewSwitch(dev, name, states, names, n);

  if (CameraListSP.isNameMatch(name)) {
    CameraListSP.update(states, names, n);
    const int index = CameraListSP.findOnSwitchIndex();
    if (index >= 0 && static_cast<size_t>(index) < listedIds_.size()) {
      CameraIdTP[0].setText(listedIds_[index]);
      CameraIdTP.setState(IPS_OK);
      CameraIdTP.apply();
      CameraListSP.setState(IPS_OK);
    }
    CameraListSP.apply(isConnected() ? "The chosen camera is opened at the next connection."
                                     : nullptr);
    return true;
  }

  if (CameraScanSP.isNameMatch(name)) {
    ScanCameras();
    CameraScanSP.reset();
    CameraScanSP.setState(IPS_OK);
    CameraScanSP.apply();
    return true;
  }

  if (FlipSP.isNameMatch(name)) {
    if (GeometryLocked("The flips")) {
      FlipSP.setState(IPS_ALERT);
      FlipSP.apply();
      return true;
    }
    const bool ok = ApplyControls(
        {{TARNCAM_CONTROL_FLIP_HORIZONTAL, 0,
          SwitchFor("FLIP_HORIZONTAL", IsOn(FlipSP, 0), states, names, n), "horizontal flip"},
         {TARNCAM_CONTROL_FLIP_VERTICAL, 0,
          SwitchFor("FLIP_VERTICAL", IsOn(FlipSP, 1), states, names, n), "vertical flip"}});
    if (ok) FlipSP.update(states, names, n);
    FlipSP.setState(ok ? IPS_OK : IPS_ALERT);
    FlipSP.apply();
    UpdateFrameFormat();
    return true;
  }

  if (SensorSP.isNameMatch(name)) {
    const bool ok = ApplyControls(
        {{TARNCAM_CONTROL_ROW_NOISE, 0, SwitchFor("ROW_NOISE", IsOn(SensorSP, 0), states, names, n),
          "row noise correction"},
         {TARNCAM_CONTROL_AGC, 0, SwitchFor("AGC", IsOn(SensorSP, 1), states, names, n),
          "automatic gain"},
         {TARNCAM_CONTROL_COMPANDING, 0,
          SwitchFor("COMPANDING", IsOn(SensorSP, 2), states, names, n), "companding"}});
    if (ok) SensorSP.update(states, names, n);
    SensorSP.setState(ok ? IPS_OK : IPS_ALERT);
    SensorSP.apply();
    return true;
  }

  if (GuideMapSP.isNameMatch(name)) {
    GuideMapSP.update(states, names, n);
    GuideMapSP.setState(IPS_OK);
    GuideMapSP.apply();
    return true;
  }

  return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
}

bool TarncamCcd::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
  if (IsDevice(dev, getDeviceName()) && CameraIdTP.isNameMatch(name)) {
    CameraIdTP.update(texts, names, n);
    CameraIdTP.setState(IPS_OK);
    CameraIdTP.apply(isConnected() ? "The chosen camera is opened at the next connection."
                                   : nullptr);
    return true;
  }
  return INDI::CCD::ISNewText(dev, name, texts, names, n);
}

bool TarncamCcd::saveConfigItems(FILE* fp) {
  INDI::CCD::saveConfigItems(fp);
  CameraIdTP.save(fp);
  GainNP.save(fp);
  OffsetNP.save(fp);
  FlipSP.save(fp);
  SensorSP.save(fp);
  ConverterNP.save(fp);
  PixelSizeNP.save(fp);
  GuideMapSP.save(fp);
  return true;
}

// ---------------------------------------------------------------------------
// Cameras and the connection

std::vector<tarncam_camera_info> TarncamCcd::ScanCameras() {
  uint32_t count = 0;
  std::vector<tarncam_camera_info> infos;
  const tarncam_status listed = tarncam_list_cameras(nullptr, 0, &count);
  ArmExitHandler();
  if (listed == TARNCAM_OK && count > 0) {
    infos.resize(count);
    infos[0].struct_size = sizeof(tarncam_camera_info);
    uint32_t present = 0;
    if (tarncam_list_cameras(infos.data(), count, &present) != TARNCAM_OK) present = 0;
    infos.resize(std::min(count, present));
  }

  listedIds_.clear();
  CameraListSP.resize(std::max<size_t>(1, infos.size()));
  if (infos.empty()) {
    CameraListSP[0].fill("NONE", "(no camera found)", ISS_OFF);
  }
  const std::string wanted = CameraIdTP[0].getText() ? CameraIdTP[0].getText() : "";
  for (size_t i = 0; i < infos.size(); ++i) {
    const tarncam_camera_info& info = infos[i];
    std::string label = info.simulated ? std::string("Simulator ") + info.id : info.location;
    if (label.empty()) label = info.id;
    label += info.colour == 1 ? ", colour" : info.colour == 0 ? ", mono" : "";
    if (info.serial[0] != '\0') label += std::string(", serial ") + info.serial;
    if (info.blank == 1) label += ", no firmware yet";
    label.resize(std::min<size_t>(label.size(), MAXINDILABEL - 1));
    CameraListSP[i].fill(Format("CAMERA_%zu", i + 1), label, wanted == info.id ? ISS_ON : ISS_OFF);
    listedIds_.push_back(info.id);
  }
  CameraListSP.setState(IPS_IDLE);
  DefineCameraList();
  return infos;
}

void TarncamCcd::DefineCameraList() {
  // The number of cameras changes, so the list is defined afresh.
  if (cameraListDefined_) deleteProperty(CameraListSP.getName());
  defineProperty(CameraListSP);
  cameraListDefined_ = true;
}

bool TarncamCcd::AddSimulatedCameras() {
  if (!simulatedIds_.empty()) return true;
  const char* text = std::getenv("TARNCAM_SIM");
  SimulatorSetup setup;
  std::string error;
  if (!ParseSimulatorSetup(text != nullptr ? text : "", &setup, &error)) {
    LOGF_ERROR("TARNCAM_SIM: %s", error.c_str());
    return false;
  }
  for (uint32_t i = 0; i < setup.cameras; ++i) {
    tarncam_sim_options options = setup.options;
    options.seed += i;
    char id[TARNCAM_ID_SIZE] = "";
    const tarncam_status status = tarncam_sim_add(&options, id, sizeof id);
    if (status != TARNCAM_OK) {
      LOGF_ERROR("The simulated camera could not be added: %s", Describe(status).c_str());
      return false;
    }
    simulatedIds_.push_back(id);
  }
  LOGF_INFO("Simulated camera%s added (%s).", setup.cameras > 1 ? "s" : "",
            text != nullptr && *text != '\0' ? text : "default options");
  return true;
}

void TarncamCcd::RemoveSimulatedCameras() {
  for (const std::string& id : simulatedIds_) tarncam_sim_remove(id.c_str());
  simulatedIds_.clear();
}

void TarncamCcd::simulationTriggered(bool enable) {
  if (enable) {
    AddSimulatedCameras();
  } else if (!isConnected()) {
    RemoveSimulatedCameras();
  }
  ScanCameras();
}

bool TarncamCcd::ChooseCamera(std::string* id, std::string* error) {
  const bool simulation = isSimulation();
  if (simulation && !AddSimulatedCameras()) {
    *error = "the simulated camera could not be added (see the log)";
    return false;
  }
  const std::vector<tarncam_camera_info> infos = ScanCameras();
  const std::string wanted = CameraIdTP[0].getText() ? CameraIdTP[0].getText() : "";
  std::string first;
  for (const tarncam_camera_info& info : infos) {
    if ((info.simulated != 0) != simulation) continue;
    if (first.empty()) first = info.id;
    if (!wanted.empty() && wanted == info.id) {
      *id = wanted;
      return true;
    }
  }
  if (!wanted.empty()) {
    if (simulation && !first.empty()) {
      LOGF_INFO("'%s' is not a simulated camera; simulation opens %s.", wanted.c_str(),
                first.c_str());
      *id = first;
      return true;
    }
    *error = "no camera '" + wanted + "' is present (clear the identifier to open the first one)";
    return false;
  }
  if (first.empty()) {
    *error = "no camera found";
    return false;
  }
  *id = first;
  return true;
}

bool TarncamCcd::Connect() {
  if (camera_ != nullptr) return true;
  std::string id, error;
  if (!ChooseCamera(&id, &error)) {
    LOGF_ERROR("Cannot connect: %s.", error.c_str());
    return false;
  }
  tarncam_camera* camera = nullptr;
  const tarncam_status status = tarncam_open_id(id.c_str(), &camera);
  if (status != TARNCAM_OK) {
    LOGF_ERROR("Cannot open %s: %s", id.c_str(), Describe(status).c_str());
    return false;
  }
  camera_ = camera;
  info_ = tarncam_camera_info{};
  info_.struct_size = sizeof info_;
  tarncam_get_info(camera_, &info_);

  uint32_t capability = GetCCDCapability() & ~static_cast<uint32_t>(CCD_HAS_BAYER);
  if (info_.colour == 1) capability |= CCD_HAS_BAYER;
  SetCCDCapability(capability);

  if (!ApplySettings()) {
    CloseCamera();
    return false;
  }
  PublishCameraInfo();
  pollTimer_ = IEAddTimer(static_cast<int>(getPollingPeriod()), &TarncamCcd::PollHandler, this);
  LOGF_INFO("Connected to %s (%s camera, firmware 0x%08" PRIX32 ").", id.c_str(),
            info_.colour == 1 ? "colour" : "monochrome", info_.firmware_version);
  return true;
}

bool TarncamCcd::Disconnect() {
  if (Streamer && Streamer->isStreaming()) Streamer->setStream(false);
  CloseCamera();
  if (!isSimulation()) RemoveSimulatedCameras();
  ScanCameras();
  return true;
}

void TarncamCcd::CloseCamera() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    streaming_ = false;
  }
  CancelGuideTimers();
  if (pollTimer_ >= 0) {
    IERmTimer(pollTimer_);
    pollTimer_ = -1;
  }
  if (camera_ != nullptr) {
    // Ends a running exposure and joins the camera's worker: no callback
    // runs after this.
    tarncam_close(camera_);
    camera_ = nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
  InExposure = false;
}

void TarncamCcd::CameraLost(const std::string& why) {
  if (camera_ == nullptr) return;
  if (InExposure) PrimaryCCD.setExposureFailed();
  LOGF_ERROR("The camera has gone away (noticed %s). Connect again once it is back.", why.c_str());
  if (Streamer && Streamer->isStreaming()) Streamer->setStream(false);
  CloseCamera();
  setConnected(false, IPS_ALERT);
  updateProperties();
  ScanCameras();
}

bool TarncamCcd::ApplySettings() {
  const int format = CaptureFormatSP.findOnSwitchIndex();
  const int depth = format == 1 ? 10 : 8;
  const bool ok =
      SetControl(TARNCAM_CONTROL_GAIN, std::llround(GainNP[0].getValue()), "gain") &&
      SetControl(TARNCAM_CONTROL_OFFSET, std::llround(OffsetNP[0].getValue()), "offset") &&
      SetControl(TARNCAM_CONTROL_BIT_DEPTH, depth, "bit depth") &&
      SetControl(TARNCAM_CONTROL_FLIP_HORIZONTAL, IsOn(FlipSP, 0), "horizontal flip") &&
      SetControl(TARNCAM_CONTROL_FLIP_VERTICAL, IsOn(FlipSP, 1), "vertical flip") &&
      SetControl(TARNCAM_CONTROL_ROW_NOISE, IsOn(SensorSP, 0), "row noise correction") &&
      SetControl(TARNCAM_CONTROL_AGC, IsOn(SensorSP, 1), "automatic gain") &&
      SetControl(TARNCAM_CONTROL_COMPANDING, IsOn(SensorSP, 2), "companding") &&
      SetControl(TARNCAM_CONTROL_ADC_REFERENCE, std::llround(ConverterNP[0].getValue()),
                 "ADC reference") &&
      SetControl(TARNCAM_CONTROL_DIGITAL_GAIN, std::llround(ConverterNP[1].getValue()),
                 "digital gain");
  if (!ok) return false;
  {
    // INDI may still be sending the last connection's final frame.
    std::lock_guard<std::mutex> guard(ccdBufferLock);
    SetCCDParams(kSensorWidth, kSensorHeight, depth == 10 ? 16 : 8, PixelSizeNP[0].getValue(),
                 PixelSizeNP[1].getValue());
  }
  std::string error;
  if (!ApplyWindow(kSensorWidth, kSensorHeight, &error)) {
    LOGF_ERROR("Cannot set the full window: %s", error.c_str());
    return false;
  }
  return true;
}

void TarncamCcd::PublishCameraInfo() {
  CameraInfoTP[0].setText(info_.id);
  CameraInfoTP[1].setText(info_.simulated ? "simulator" : info_.location);
  CameraInfoTP[2].setText(info_.serial);
  CameraInfoTP[3].setText(Format("0x%08" PRIX32, info_.firmware_version));
  CameraInfoTP[4].setText(info_.colour == 1 ? "colour (Bayer)" : "monochrome");
  CameraInfoTP.setState(IPS_OK);
}

// ---------------------------------------------------------------------------
// Settings

std::string TarncamCcd::Describe(tarncam_status status) const {
  tarncam_error_detail detail{};
  detail.struct_size = sizeof detail;
  std::string text = tarncam_status_text(status);
  if (tarncam_last_error(&detail) == TARNCAM_OK && detail.status == status &&
      detail.message[0] != '\0') {
    text += std::string(" (") + detail.message + ")";
  }
  return text;
}

void TarncamCcd::ReportLost(tarncam_camera* camera, const std::string& when) {
  // Handled from the event loop, once the INDI call in progress has
  // answered its client.
  Event lost;
  lost.kind = Event::Kind::kCameraLost;
  lost.camera = camera;
  lost.text = when;
  Post(std::move(lost));
}

bool TarncamCcd::SetControl(tarncam_control control, int64_t value, const char* what) {
  if (camera_ == nullptr) return false;
  const tarncam_status status = tarncam_set_control(camera_, control, value);
  if (status == TARNCAM_OK) return true;
  LOGF_ERROR("Cannot set the %s to %" PRId64 ": %s", what, value, Describe(status).c_str());
  if (status == TARNCAM_ERR_NO_DEVICE) ReportLost(camera_, "while a setting was changed");
  return false;
}

bool TarncamCcd::ApplyControls(std::vector<ControlChange> changes) {
  if (camera_ == nullptr) return false;
  for (ControlChange& c : changes) tarncam_get_control(camera_, c.control, &c.from);
  std::string error;
  tarncam_status status = TARNCAM_OK;
  const auto set = [this](tarncam_control control, int64_t value) {
    return tarncam_set_control(camera_, control, value);
  };
  if (ApplyAllOrNone(changes, set, &error, &status)) return true;
  LOGF_ERROR("Nothing was changed: %s.", error.c_str());
  if (status == TARNCAM_ERR_NO_DEVICE) ReportLost(camera_, "while a setting was changed");
  return false;
}

bool TarncamCcd::ApplyWindow(uint32_t width, uint32_t height, std::string* error) {
  const tarncam_status status = tarncam_set_window(camera_, width, height);
  if (status != TARNCAM_OK) {
    *error = Describe(status);
    return false;
  }
  tarncam_window window{};
  window.struct_size = sizeof window;
  tarncam_get_window(camera_, &window);
  {
    // INDI may still be writing the last frame's FITS file from the buffer.
    std::lock_guard<std::mutex> guard(ccdBufferLock);
    PrimaryCCD.setFrame(window.x_origin, window.y_origin, window.width, window.height);
    PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(window.frame_bytes));
  }
  UpdateFrameFormat();
  return true;
}

void TarncamCcd::UpdateFrameFormat() {
  if (camera_ == nullptr) return;
  tarncam_window window{};
  window.struct_size = sizeof window;
  tarncam_get_window(camera_, &window);
  // The stream manager sizes recordings from this when recording starts,
  // which may start the stream.
  Streamer->setPixelFormat(PixelFormatFor(window.bayer_pattern),
                           window.bytes_per_sample == 2 ? 16 : 8);
  Streamer->setSize(window.width, window.height);
  if (!HasBayer()) return;
  // The pattern is that of the frame's first pixel as delivered, so the
  // offsets stay 0.
  IUSaveText(&BayerT[0], "0");
  IUSaveText(&BayerT[1], "0");
  IUSaveText(&BayerT[2], window.bayer_pattern);
  if (isConnected()) IDSetText(&BayerTP, nullptr);
}

bool TarncamCcd::GeometryLocked(const char* what) {
  bool streaming;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    streaming = streaming_;
  }
  if (!InExposure && !streaming) return false;
  LOGF_WARN("%s cannot change while an exposure or the video stream runs.", what);
  return true;
}

bool TarncamCcd::SetCaptureFormat(uint8_t index) {
  if (camera_ == nullptr) return true;  // applied when the camera connects
  if (GeometryLocked("The sample depth")) return false;
  const int depth = index == 1 ? 10 : 8;
  if (!SetControl(TARNCAM_CONTROL_BIT_DEPTH, depth, "bit depth")) return false;
  tarncam_window window{};
  window.struct_size = sizeof window;
  tarncam_get_window(camera_, &window);
  {
    std::lock_guard<std::mutex> guard(ccdBufferLock);
    PrimaryCCD.setBPP(depth == 10 ? 16 : 8);
    PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(window.frame_bytes));
  }
  UpdateFrameFormat();
  return true;
}

bool TarncamCcd::UpdateCCDFrame(int x, int y, int w, int h) {
  // Reached from the frame reset (a client's CCD_FRAME goes through
  // ISNewNumber above, which says what it adjusted).
  (void)x;
  (void)y;
  if (camera_ == nullptr || GeometryLocked("The frame")) return false;
  const FittedSize fit = FitWindowSize(w, h);
  std::string error;
  if (fit.refused || !ApplyWindow(fit.width, fit.height, &error)) return false;
  return true;
}

bool TarncamCcd::UpdateCCDBin(int hor, int ver) {
  // The camera does not bin.
  return hor == 1 && ver == 1;
}

GuideMapping TarncamCcd::CurrentGuideMapping() const {
  GuideMapping m;
  m.swapAxes = IsOn(GuideMapSP, 0);
  m.reverseRa = IsOn(GuideMapSP, 1);
  m.reverseDec = IsOn(GuideMapSP, 2);
  return m;
}

// ---------------------------------------------------------------------------
// Exposures

bool TarncamCcd::StartExposure(float duration) {
  if (std::this_thread::get_id() != mainThread_) {
    // INDI's fast exposure starts the next frame from the thread that sent
    // the last one; the start belongs on the main thread with the rest.
    Event start;
    start.kind = Event::Kind::kStartExposure;
    start.duration = duration;
    Post(std::move(start));
    return true;
  }
  if (camera_ == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (streaming_) {
      LOG_ERROR("An exposure cannot start while the video stream runs; stop the stream first.");
      return false;
    }
  }
  if (!SetControl(TARNCAM_CONTROL_EXPOSURE_MS, std::llround(duration * 1000.0), "exposure time")) {
    return false;
  }
  // The callback owns the ticket once the exposure has started, and may
  // have freed it before the start returns.
  const uint64_t number = exposureNumber_ + 1;
  // Settings change only on this thread: these are the exposure's.
  Converter converter;
  tarncam_get_control(camera_, TARNCAM_CONTROL_ADC_REFERENCE, &converter.adcReference);
  tarncam_get_control(camera_, TARNCAM_CONTROL_DIGITAL_GAIN, &converter.digitalGain);
  auto* ticket = new ExposureTicket{this, number, converter};
  const tarncam_status status = tarncam_start_exposure(camera_, captureBuffer_.data(),
                                                       captureBuffer_.size(), &FrameEnded, ticket);
  if (status != TARNCAM_OK) {
    delete ticket;
    LOGF_ERROR("The exposure did not start: %s", Describe(status).c_str());
    if (status == TARNCAM_ERR_NO_DEVICE) ReportLost(camera_, "when an exposure started");
    return false;
  }
  exposureNumber_ = number;
  PrimaryCCD.setExposureDuration(duration);
  exposureSeconds_ = duration;
  exposureStart_ = std::chrono::steady_clock::now();
  InExposure = true;
  return true;
}

bool TarncamCcd::AbortExposure() {
  if (camera_ == nullptr) return false;
  // Returns once the exposure has ended; its record, cancelled or not, is
  // dropped: InExposure is false when it arrives, or another exposure has
  // started.
  const tarncam_status status = tarncam_cancel_exposure(camera_);
  InExposure = false;
  if (status == TARNCAM_ERR_NO_DEVICE) ReportLost(camera_, "at an abort");
  return true;
}

void TarncamCcd::FrameEnded(tarncam_camera* camera, const tarncam_frame_record* record,
                            void* context) {
  const std::unique_ptr<ExposureTicket> ticket(static_cast<ExposureTicket*>(context));
  Event event;
  event.kind = Event::Kind::kFrame;
  event.camera = camera;
  event.exposure = ticket->number;
  event.converter = ticket->converter;
  event.record = *record;
  if (record->status == TARNCAM_OK && record->outcome == TARNCAM_FRAME_COMPLETE) {
    const uint8_t* samples = static_cast<const uint8_t*>(record->buffer);
    event.pixels.assign(samples, samples + record->frame_bytes);
  }
  ticket->self->Post(std::move(event));
}

void TarncamCcd::Post(Event event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  const char byte = 1;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] ssize_t written = write(wakePipe_[1], &byte, 1);
}

void TarncamCcd::WakeHandler(int fd, void* self) {
  char bytes[64];
  while (read(fd, bytes, sizeof bytes) > 0) {
  }
  static_cast<TarncamCcd*>(self)->HandleEvents();
}

void TarncamCcd::HandleEvents() {
  std::deque<Event> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batch.swap(events_);
  }
  for (Event& event : batch) {
    switch (event.kind) {
      case Event::Kind::kFrame:
        if (event.camera == camera_) FinishExposure(event);
        break;
      case Event::Kind::kStreamFault:
        if (event.camera != camera_) break;
        if (event.record.status == TARNCAM_ERR_NO_DEVICE) {
          CameraLost("during the video stream");
        } else {
          LOGF_WARN("Video stream: %s", event.text.c_str());
          bool stopped;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped = !streaming_;
          }
          // A stream that could not go on says so in CCD_VIDEO_STREAM.
          if (stopped && Streamer->isStreaming()) Streamer->setStream(false);
        }
        break;
      case Event::Kind::kCameraLost:
        if (event.camera == camera_) CameraLost(event.text);
        break;
      case Event::Kind::kStartExposure:
        if (camera_ != nullptr && !InExposure && !StartExposure(event.duration)) {
          PrimaryCCD.setExposureFailed();
        }
        break;
    }
  }
}

void TarncamCcd::FinishExposure(Event& event) {
  const tarncam_frame_record& record = event.record;
  // A record of an exposure that a later start has replaced is no news.
  if (event.exposure != exposureNumber_ || !InExposure) return;
  // An abort the driver asked for has ended the exposure already
  // (AbortExposure); a record that says CANCELLED all the same was not
  // asked for, and ends the exposure as any other failure does.
  InExposure = false;

  if (record.status == TARNCAM_OK && record.outcome == TARNCAM_FRAME_COMPLETE &&
      event.pixels.size() == record.frame_bytes) {
    {
      std::lock_guard<std::mutex> guard(ccdBufferLock);
      // The geometry cannot change during an exposure; the record's is the
      // frame's all the same.
      if (PrimaryCCD.getSubW() != static_cast<int>(record.width) ||
          PrimaryCCD.getSubH() != static_cast<int>(record.height)) {
        PrimaryCCD.setFrame(record.x_origin, record.y_origin, record.width, record.height);
      }
      PrimaryCCD.setBPP(record.bytes_per_sample == 2 ? 16 : 8);
      if (static_cast<size_t>(PrimaryCCD.getFrameBufferSize()) < event.pixels.size()) {
        PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(event.pixels.size()));
      }
      std::memcpy(PrimaryCCD.getFrameBuffer(), event.pixels.data(), event.pixels.size());
      fitsRecord_ = record;
      fitsConverter_ = event.converter;
    }
    PrimaryCCD.setExposureLeft(0);
    ExposureComplete(&PrimaryCCD);
    return;
  }

  // No image for a frame that did not arrive whole: neither the rows that
  // came nor the buffer's earlier content is a picture of this exposure.
  std::string why = tarncam_status_text(static_cast<tarncam_status>(record.status));
  if (record.outcome == TARNCAM_FRAME_SHORT) {
    why += Format(", %" PRIu32 " of %" PRIu32 " rows arrived", record.rows_received, record.height);
  }
  FailExposure(Format("Frame %" PRIu64 " failed: %s after %" PRIu32 " reads (%" PRIu32
                      " failed). No image was sent.",
                      record.sequence, why.c_str(), record.reads_attempted, record.reads_failed));
  if (record.status == TARNCAM_ERR_NO_DEVICE) CameraLost("during an exposure");
}

void TarncamCcd::FailExposure(const std::string& why) {
  PrimaryCCD.setExposureFailed();
  LOGF_ERROR("%s", why.c_str());
}

void TarncamCcd::PollHandler(void* self) { static_cast<TarncamCcd*>(self)->Poll(); }

// At the user's polling period: INDI shortens the current period to the
// exposure time for short exposures, which would flood clients while the
// camera takes new settings.
void TarncamCcd::Poll() {
  pollTimer_ = -1;
  if (camera_ == nullptr) return;
  if (InExposure) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - exposureStart_).count();
    PrimaryCCD.setExposureLeft(std::max(0.0, exposureSeconds_ - elapsed));
  }
  pollTimer_ = IEAddTimer(static_cast<int>(getPollingPeriod()), &TarncamCcd::PollHandler, this);
}

void TarncamCcd::addFITSKeywords(INDI::CCDChip* targetChip) {
  INDI::CCD::addFITSKeywords(targetChip);
  // INDI calls this while it holds ccdBufferLock, so fitsRecord_ is the
  // record of the frame being written.
  fitsfile* fptr = *targetChip->fitsFilePointer();
  const tarncam_frame_record& r = fitsRecord_;
  int status = 0;
  LONGLONG sequence = static_cast<LONGLONG>(r.sequence);
  unsigned int reads = r.reads_attempted, failed = r.reads_failed;
  unsigned int gain = r.gain, offset = r.offset, depth = r.bit_depth;
  unsigned int xOrigin = r.x_origin, yOrigin = r.y_origin;
  unsigned int adc = static_cast<unsigned int>(fitsConverter_.adcReference);
  unsigned int digital = static_cast<unsigned int>(fitsConverter_.digitalGain);
  fits_update_key(fptr, TLONGLONG, "FRAMESEQ", &sequence, "Frame number since the camera opened",
                  &status);
  fits_update_key(fptr, TUINT, "READS", &reads, "Bulk reads made for this frame", &status);
  fits_update_key(fptr, TUINT, "READFAIL", &failed, "Bulk reads that failed and were retried",
                  &status);
  fits_update_key(fptr, TUINT, "GAIN", &gain, "Sensor gain, 0 to 100", &status);
  fits_update_key(fptr, TUINT, "OFFSET", &offset, "Offset setting (recorded, not applied)",
                  &status);
  fits_update_key(fptr, TUINT, "BITDEPTH", &depth, "Bits per sample from the camera", &status);
  fits_update_key(fptr, TUINT, "ADCREF", &adc, "Converter reference level, 0 to 6", &status);
  fits_update_key(fptr, TUINT, "DIGGAIN", &digital, "Converter digital gain, 0 to 255", &status);
  fits_update_key(fptr, TUINT, "XORGSUBF", &xOrigin, "Subframe origin on the sensor, X", &status);
  fits_update_key(fptr, TUINT, "YORGSUBF", &yOrigin, "Subframe origin on the sensor, Y", &status);
  const std::string start = FitsTimestamp(r.start_utc_ns);
  fits_update_key(fptr, TSTRING, "DATE-OBS", const_cast<char*>(start.c_str()),
                  "UTC start of the exposure", &status);
  if (HasBayer() && r.bayer_pattern[0] != '\0') {
    char pattern[sizeof r.bayer_pattern];
    std::memcpy(pattern, r.bayer_pattern, sizeof pattern);
    pattern[sizeof pattern - 1] = '\0';
    fits_update_key(fptr, TSTRING, "BAYERPAT", pattern, "Bayer colour pattern", &status);
  }
  if (status != 0) {
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    LOGF_WARN("FITS keywords: %s", text);
  }
}

// ---------------------------------------------------------------------------
// Video stream

bool TarncamCcd::StartStreaming() {
  if (camera_ == nullptr) return false;
  if (InExposure) {
    LOG_ERROR("The video stream cannot start during an exposure.");
    return false;
  }
  UpdateFrameFormat();
  std::lock_guard<std::mutex> lock(mutex_);
  const tarncam_status status = StartStreamFrame(camera_);
  if (status != TARNCAM_OK) {
    LOGF_ERROR("The video stream did not start: %s", Describe(status).c_str());
    return false;
  }
  streaming_ = true;
  streamFaultReported_ = false;
  return true;
}

tarncam_status TarncamCcd::StartStreamFrame(tarncam_camera* camera) {
  const int64_t ms = std::llround(Streamer->getTargetExposure() * 1000.0);
  const tarncam_status status = tarncam_set_control(camera, TARNCAM_CONTROL_EXPOSURE_MS, ms);
  if (status != TARNCAM_OK) return status;
  return tarncam_start_exposure(camera, captureBuffer_.data(), captureBuffer_.size(),
                                &StreamFrameEnded, this);
}

void TarncamCcd::StreamFrameEnded(tarncam_camera* camera, const tarncam_frame_record* record,
                                  void* user) {
  auto* self = static_cast<TarncamCcd*>(user);
  const bool complete = record->status == TARNCAM_OK && record->outcome == TARNCAM_FRAME_COMPLETE;
  if (complete) {
    std::lock_guard<std::mutex> guard(self->ccdBufferLock);
    self->Streamer->newFrame(static_cast<const uint8_t*>(record->buffer),
                             static_cast<uint32_t>(record->frame_bytes));
  }
  Event fault;
  fault.kind = Event::Kind::kStreamFault;
  fault.camera = camera;
  fault.record = *record;
  bool report = false;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    // StopStreaming clears streaming_ before it cancels: a frame that ends
    // cancelled while the stream runs was not stopped by the driver, and is
    // left out as any failed frame is.
    if (!self->streaming_) return;
    if (record->status == TARNCAM_ERR_NO_DEVICE) {
      self->streaming_ = false;
      report = true;
    } else {
      // A frame that failed is left out; the stream goes on, and says so
      // once.
      if (!complete && !self->streamFaultReported_) {
        self->streamFaultReported_ = true;
        report = true;
        fault.text = Format("frame %" PRIu64 " failed (%s) and was left out", record->sequence,
                            tarncam_status_text(static_cast<tarncam_status>(record->status)));
      }
      // Started under the lock: a stop either comes first, and no frame
      // starts, or after, and its cancel finds this frame running.
      const tarncam_status status = self->StartStreamFrame(camera);
      if (status != TARNCAM_OK) {
        self->streaming_ = false;
        report = true;
        fault.record.status = status;
        fault.text = std::string("the next frame did not start: ") + tarncam_status_text(status) +
                     "; the stream has stopped";
      }
    }
  }
  if (report) self->Post(std::move(fault));
}

bool TarncamCcd::StopStreaming() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!streaming_) return true;
    streaming_ = false;
  }
  // The frame in progress ends cancelled and starts no other.
  if (camera_ != nullptr) tarncam_cancel_exposure(camera_);
  return true;
}

// ---------------------------------------------------------------------------
// Guide port

IPState TarncamCcd::GuideNorth(uint32_t ms) { return Pulse(SkyAxis::kDec, true, ms); }
IPState TarncamCcd::GuideSouth(uint32_t ms) { return Pulse(SkyAxis::kDec, false, ms); }
IPState TarncamCcd::GuideEast(uint32_t ms) { return Pulse(SkyAxis::kRa, true, ms); }
IPState TarncamCcd::GuideWest(uint32_t ms) { return Pulse(SkyAxis::kRa, false, ms); }

IPState TarncamCcd::Pulse(SkyAxis axis, bool plus, uint32_t ms) {
  if (camera_ == nullptr) return IPS_ALERT;
  if (ms == 0) return IPS_OK;
  const PortPulse pulse = MapGuidePulse(axis, plus, CurrentGuideMapping());
  const int32_t duration = static_cast<int32_t>(std::min<uint32_t>(ms, TARNCAM_GUIDE_MAX_MS));
  const tarncam_status status = tarncam_guide_pulse(
      camera_, pulse.direction, pulse.onX ? duration : 0, pulse.onX ? 0 : duration);
  if (status != TARNCAM_OK) {
    LOGF_ERROR("Guide pulse of %" PRIu32 " ms failed: %s", ms, Describe(status).c_str());
    if (status == TARNCAM_ERR_NO_DEVICE) ReportLost(camera_, "at a guide pulse");
    return IPS_ALERT;
  }
  // The camera times the pulse; the timer only tells the client when it is
  // over, asking the camera's state first.
  GuideTimer& timer = guideTimers_[axis == SkyAxis::kRa ? 0 : 1];
  if (timer.id >= 0) IERmTimer(timer.id);
  timer.self = this;
  timer.axis = axis;
  timer.pulse = pulse;
  timer.id = IEAddTimer(duration, &TarncamCcd::GuideTimerHandler, &timer);
  return IPS_BUSY;
}

void TarncamCcd::GuideTimerHandler(void* context) {
  auto* timer = static_cast<GuideTimer*>(context);
  timer->self->GuideTimerHit(*timer);
}

void TarncamCcd::GuideTimerHit(GuideTimer& timer) {
  timer.id = -1;
  tarncam_guide_state state{};
  state.struct_size = sizeof state;
  if (camera_ != nullptr && tarncam_guide_get_state(camera_, &state) == TARNCAM_OK) {
    const uint32_t direction = timer.pulse.onX ? state.x_direction : state.y_direction;
    const int64_t remaining = timer.pulse.onX ? state.x_remaining_ms : state.y_remaining_ms;
    if (direction == timer.pulse.direction && remaining > 0) {
      timer.id = IEAddTimer(static_cast<int>(std::min<int64_t>(remaining, TARNCAM_GUIDE_MAX_MS)),
                            &TarncamCcd::GuideTimerHandler, &timer);
      return;
    }
  }
  GuideComplete(timer.axis == SkyAxis::kRa ? AXIS_RA : AXIS_DE);
}

void TarncamCcd::CancelGuideTimers() {
  for (GuideTimer& timer : guideTimers_) {
    if (timer.id >= 0) IERmTimer(timer.id);
    timer.id = -1;
  }
}

}  // namespace tarnindi

// The driver's one device; libindidriver's main() serves it.
static std::unique_ptr<tarnindi::TarncamCcd> device(new tarnindi::TarncamCcd());
