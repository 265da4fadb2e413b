// The 36 exported functions: each binds the one module-wide camera to what
// the export does (below the extern "C" block's line: exports.h), which in
// turn narrows the arguments and asks the core.

#include "exports/exports.h"

#include <cstdio>

#include "capture/exposure.h"
#include "capture/frame_output.h"
#include "capture/readout.h"
#include "exports/default_camera.h"
#include "guide/guide.h"
#include "image/demosaic.h"
#include "image/output_modes.h"
#include "sensor/register_block.h"
#include "sensor/settings.h"
#include "tarncam/tarncam.h"
#include "usb/control.h"
#include "usb/device.h"
#include "usb/open_verify.h"
#include "usb/requests.h"

namespace tarncam {
namespace exports {

void Subframe(CameraState& s, uint32_t width, uint32_t height) { StoreWindow(s, width, height); }

void DynamicRange(CameraState& s, uint32_t depth) { StoreSampleDepth(s, depth); }

uint32_t ADCRef(CameraState& s, uint32_t level) { return StoreAdcReference(s, level) ? level : 0; }

void OpenDevice(Camera& cam) { OpenCamera(cam, nullptr); }

uint32_t checkdevice(Camera& cam) {
  if (OpenCamera(cam, nullptr).status != OpenStatus::kOpened) return 0;
  ReleaseCamera(cam);
  return 1;
}

uint32_t openUSB(Camera& cam) {
  CloseCamera(cam);
  const VerifiedOpen opened = OpenAndVerify(cam, nullptr);
  if (opened.status == VerifyStatus::kNotOpened) return 0;

  // The reply counts as it stands, whatever became of its transfer: an
  // unanswered query leaves its own code, which then counts as a mismatch
  // ("Found 99").
  const uint32_t version = opened.version;
  if (version == kExpectedFirmware) return 1;

  char text[128];
  if (version == kUnknownCameraReply) {
    std::snprintf(text, sizeof text, "%s", kUnknownCameraText);
  } else {
    std::snprintf(text, sizeof text, kFirmwareMismatchFormat, static_cast<int>(version),
                  static_cast<int>(kExpectedFirmware));
  }
  cam.sys().ShowMessage(text, kErrorCaption);
  ReleaseCamera(cam);
  return 0;
}

void closeUSB(Camera& cam) { CloseCamera(cam); }

uint32_t CancelExposure(Camera& cam) {
  // The write's success flag; with no device nothing is sent.
  return SendAbort(cam).ok() ? 1 : 0;
}

uint32_t CameraReset(Camera& cam) { return ToTransferResult(SendCameraReset(cam)); }

uint32_t SendRegister(Camera& cam, uint32_t index, uint32_t value) {
  return ToTransferResult(
      WriteSensorRegister(cam, static_cast<uint16_t>(index), static_cast<uint16_t>(value)));
}

uint32_t GetVIDPID(Camera& cam) {
  // Bytes whose read failed stay 0; with no device the word is 0.
  uint32_t word = 0;
  ReadIdentification(cam, &word);
  return word;
}

uint32_t DEBUG(Camera& cam, uint32_t queryCode) {
  if (!cam.state.DeviceOpen()) return 0xFFFFFFFF;
  uint32_t reply = 0;
  QueryCamera(cam, queryCode, &reply);
  return reply;
}

uint32_t ProgramCamera(Camera& cam, uint32_t exposure, uint32_t gain, uint32_t offset,
                       uint32_t extraValue) {
  ProgramSettings(cam, exposure, gain, offset, extraValue);
  return 1;
}

uint32_t Exposure(Camera& cam, uint8_t* destination) {
  if (!ClaimExposure(cam.state)) return 0;  // refused: nothing stored or started
  return static_cast<uint32_t>(RunClaimedExposure(cam, destination, ExposureThread::kCaller));
}

std::uintptr_t ThreadedExposure(Camera& cam, uint8_t* destination) {
  if (!ClaimExposure(cam.state)) return 0;
  return RunClaimedExposure(cam, destination, ExposureThread::kWorker);
}

uint32_t isExposing(const CameraState& s) {
  // Acquire: a caller that sees 0 here sees the whole frame.
  return s.exposing.load(std::memory_order_acquire);
}

Handle ExposureSemaphore(CameraState& s, Handle semaphore) {
  s.doneSemaphore.store(semaphore, std::memory_order_relaxed);
  return semaphore;
}

uint32_t GuideCommandXY(Camera& cam, uint32_t direction, int32_t first, int32_t second) {
  if (!cam.state.DeviceOpen()) return 1;
  SendGuidePulse(cam, static_cast<uint16_t>(direction), first, second);
  return 0;  // issued; the transfer's outcome is not reported
}

uint32_t GuideCommand(Camera& cam, uint32_t direction, int32_t duration) {
  return GuideCommandXY(cam, direction, duration, duration);
}

uint32_t CancelGuide(Camera& cam, uint32_t first, uint32_t second) {
  if (!cam.state.DeviceOpen()) return 1;
  StopGuidePulses(cam, first != 0, second != 0);
  return 0;
}

}  // namespace exports

namespace {

constinit CameraState gState;
constinit Camera gCamera{gState, gExportPlatform};

// One line, 58 characters, in read-only data.
constexpr char kNotice[] = "tarncam camera driver (c) 2026 the tarncam developers, MIT";
static_assert(sizeof(kNotice) - 1 == 58);

inline Camera& Cam() { return gCamera; }
inline CameraState& St() { return gState; }

template <typename T>
uint8_t* Bytes(T* p) {
  return static_cast<uint8_t*>(const_cast<void*>(static_cast<const void*>(p)));
}

}  // namespace

Camera& DefaultCamera() { return Cam(); }

void UsePlatform(UsbTransport* usb, SystemServices* system) {
  const Platform builtin = BuiltinPlatform();
  gExportPlatform.usb = usb != nullptr ? usb : builtin.usb;
  gExportPlatform.system = system != nullptr ? system : builtin.system;
}

}  // namespace tarncam

namespace ex = tarncam::exports;
using tarncam::Bytes;
using tarncam::Cam;
using tarncam::St;

extern "C" {

uint32_t TARNCAM_CALL ADCRef(uint32_t level) { return ex::ADCRef(St(), level); }
uint32_t TARNCAM_CALL CameraReset(void) { return ex::CameraReset(Cam()); }
uint32_t TARNCAM_CALL CancelExposure(void) { return ex::CancelExposure(Cam()); }
uint32_t TARNCAM_CALL CancelGuide(uint32_t first, uint32_t second) {
  return ex::CancelGuide(Cam(), first, second);
}
uint32_t TARNCAM_CALL DynamicRange(uint32_t depth) {
  ex::DynamicRange(St(), depth);
  return 0;
}
uint32_t TARNCAM_CALL Exposure(void* destination) {
  return ex::Exposure(Cam(), Bytes(destination));
}
void* TARNCAM_CALL ExposureSemaphore(void* semaphore) {
  ex::ExposureSemaphore(St(), reinterpret_cast<tarncam::Handle>(semaphore));
  return semaphore;
}
uintptr_t TARNCAM_CALL GETBUFFER(void* destination, uint32_t length) {
  return tarncam::WriteFrameOutput(St(), Bytes(destination), length);
}
uint32_t TARNCAM_CALL GetVIDPID(void) { return ex::GetVIDPID(Cam()); }
uint32_t TARNCAM_CALL GuideCommand(uint32_t direction, int32_t duration) {
  return ex::GuideCommand(Cam(), direction, duration);
}
uint32_t TARNCAM_CALL GuideCommandXY(uint32_t direction, int32_t first, int32_t second) {
  return ex::GuideCommandXY(Cam(), direction, first, second);
}
uint32_t TARNCAM_CALL HorizontalFlip(uint32_t on) { return ex::HorizontalFlip(St(), on); }
uint32_t TARNCAM_CALL ProgramCamera(uint32_t exposureMs, uint32_t gain, uint32_t offset,
                                    uint32_t fourth) {
  return ex::ProgramCamera(Cam(), exposureMs, gain, offset, fourth);
}
uint32_t TARNCAM_CALL RowNoise(uint32_t on) { return ex::RowNoise(St(), on); }
uint32_t TARNCAM_CALL SETBUFFERMODE(uint32_t mode) {
  return tarncam::SelectOutputMode(St(), mode);
}
uint32_t TARNCAM_CALL SendRegister(uint32_t index, uint32_t value) {
  return ex::SendRegister(Cam(), index, value);
}
uint32_t TARNCAM_CALL SetAGC(uint32_t on) { return ex::SetAGC(St(), on); }
uint32_t TARNCAM_CALL SetCompanding(uint32_t on) { return ex::SetCompanding(St(), on); }
uint32_t TARNCAM_CALL SetDigitalGain(uint32_t value) { return ex::SetDigitalGain(St(), value); }
uint32_t TARNCAM_CALL Subframe(uint32_t width, uint32_t height) {
  ex::Subframe(St(), width, height);
  return 0;
}
uintptr_t TARNCAM_CALL ThreadedExposure(void* destination) {
  return ex::ThreadedExposure(Cam(), Bytes(destination));
}
uint32_t TARNCAM_CALL VerticalFlip(uint32_t on) { return ex::VerticalFlip(St(), on); }
void* TARNCAM_CALL bufferCopy(const void* source, void* destination, uint32_t count) {
  return tarncam::CopyOverlapping(source, destination, count);
}
uint32_t TARNCAM_CALL checkdevice(uint32_t /*ignored*/) { return ex::checkdevice(Cam()); }
uint32_t TARNCAM_CALL closeUSB(void) {
  ex::closeUSB(Cam());
  return 0;
}
uint32_t TARNCAM_CALL debayerImage(const uint8_t* source, uint8_t* destination, uint32_t width,
                                   uint32_t height) {
  return tarncam::debayerImage(source, destination, width, height);
}
uint32_t TARNCAM_CALL debayerImageFITBYTE(const uint8_t* source, uint8_t* destination,
                                          uint32_t width, uint32_t height) {
  return tarncam::debayerImageFITBYTE(source, destination, width, height);
}
uint32_t TARNCAM_CALL debayerImageFITWORD(const uint16_t* source, uint16_t* destination,
                                          uint32_t width, uint32_t height) {
  return tarncam::debayerImageFITWORD(source, destination, width, height);
}
uint32_t TARNCAM_CALL debayerImageW(const uint16_t* source, uint8_t* destination, uint32_t width,
                                    uint32_t height) {
  return tarncam::debayerImageW(source, destination, width, height);
}
uint8_t* TARNCAM_CALL getbufptr(void) { return tarncam::RawFrame(St()); }
uint32_t TARNCAM_CALL isExposing(void) { return ex::isExposing(St()); }
uint32_t TARNCAM_CALL openUSB(uint32_t /*ignored*/) { return ex::openUSB(Cam()); }

}  // extern "C"

// The four exports with C++-decorated names.
char* TARNCAM_CALL CopyRight(void) { return const_cast<char*>(tarncam::kNotice); }
tarncam_ulong TARNCAM_CALL DEBUG(tarncam_ulong queryCode) {
  return ex::DEBUG(Cam(), static_cast<uint32_t>(queryCode));
}
void TARNCAM_CALL OpenDevice(void) { ex::OpenDevice(Cam()); }
void TARNCAM_CALL debayerBuffer(unsigned char* destination, tarncam_ulong width,
                                tarncam_ulong height) {
  tarncam::DemosaicRawFrame(St(), destination, static_cast<uint32_t>(width),
                            static_cast<uint32_t>(height));
}
