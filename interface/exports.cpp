// The 36 exported functions: each narrows its arguments and hands the one
// module-wide camera to the operation that does the work.

#include "tarncam/tarncam.h"

#include "capture/exposure.h"
#include "guide/guide.h"
#include "image/demosaic.h"
#include "image/output_modes.h"
#include "interface/default_camera.h"
#include "interface/settings.h"
#include "sensor/register_block.h"
#include "usb/control.h"
#include "usb/device.h"

namespace tarncam {
namespace {

constinit CameraState gState;
constinit Camera gCamera{gState, gExportPlatform};

// One line, 58 characters, in read-only data.
constexpr char kNotice[] = "tarncam camera driver (c) 2026 the tarncam developers, MIT";
static_assert(sizeof(kNotice) - 1 == 58);

inline Camera& Cam() { return gCamera; }
inline CameraState& St() { return gState; }

}  // namespace

Camera& DefaultCamera() { return Cam(); }

void UsePlatform(UsbTransport* usb, SystemServices* system) {
  const Platform builtin = BuiltinPlatform();
  gExportPlatform.usb = usb != nullptr ? usb : builtin.usb;
  gExportPlatform.system = system != nullptr ? system : builtin.system;
}

}  // namespace tarncam

using tarncam::Cam;
using tarncam::St;

namespace {
template <typename T>
uint8_t* Bytes(T* p) {
  return static_cast<uint8_t*>(const_cast<void*>(static_cast<const void*>(p)));
}
}  // namespace

extern "C" {

uint32_t TARNCAM_CALL ADCRef(uint32_t level) { return tarncam::ADCRef(St(), level); }
uint32_t TARNCAM_CALL CameraReset(void) { return tarncam::CameraReset(Cam()); }
uint32_t TARNCAM_CALL CancelExposure(void) { return tarncam::CancelExposure(Cam()); }
uint32_t TARNCAM_CALL CancelGuide(uint32_t first, uint32_t second) {
  return tarncam::CancelGuide(Cam(), first, second);
}
uint32_t TARNCAM_CALL DynamicRange(uint32_t depth) {
  tarncam::DynamicRange(St(), depth);
  return 0;
}
uint32_t TARNCAM_CALL Exposure(void* destination) {
  return tarncam::Exposure(Cam(), Bytes(destination));
}
void* TARNCAM_CALL ExposureSemaphore(void* semaphore) {
  tarncam::ExposureSemaphore(St(), reinterpret_cast<tarncam::Handle>(semaphore));
  return semaphore;
}
uintptr_t TARNCAM_CALL GETBUFFER(void* destination, uint32_t length) {
  return tarncam::GETBUFFER(St(), Bytes(destination), length);
}
uint32_t TARNCAM_CALL GetVIDPID(void) { return tarncam::GetVIDPID(Cam()); }
uint32_t TARNCAM_CALL GuideCommand(uint32_t direction, int32_t duration) {
  return tarncam::GuideCommand(Cam(), direction, duration);
}
uint32_t TARNCAM_CALL GuideCommandXY(uint32_t direction, int32_t first, int32_t second) {
  return tarncam::GuideCommandXY(Cam(), direction, first, second);
}
uint32_t TARNCAM_CALL HorizontalFlip(uint32_t on) { return tarncam::HorizontalFlip(St(), on); }
uint32_t TARNCAM_CALL ProgramCamera(uint32_t exposureMs, uint32_t gain, uint32_t offset,
                                    uint32_t fourth) {
  return tarncam::ProgramCamera(Cam(), exposureMs, gain, offset, fourth);
}
uint32_t TARNCAM_CALL RowNoise(uint32_t on) { return tarncam::RowNoise(St(), on); }
uint32_t TARNCAM_CALL SETBUFFERMODE(uint32_t mode) { return tarncam::SETBUFFERMODE(St(), mode); }
uint32_t TARNCAM_CALL SendRegister(uint32_t index, uint32_t value) {
  return tarncam::SendRegister(Cam(), index, value);
}
uint32_t TARNCAM_CALL SetAGC(uint32_t on) { return tarncam::SetAGC(St(), on); }
uint32_t TARNCAM_CALL SetCompanding(uint32_t on) { return tarncam::SetCompanding(St(), on); }
uint32_t TARNCAM_CALL SetDigitalGain(uint32_t value) {
  return tarncam::SetDigitalGain(St(), value);
}
uint32_t TARNCAM_CALL Subframe(uint32_t width, uint32_t height) {
  tarncam::Subframe(St(), width, height);
  return 0;
}
uintptr_t TARNCAM_CALL ThreadedExposure(void* destination) {
  return tarncam::ThreadedExposure(Cam(), Bytes(destination));
}
uint32_t TARNCAM_CALL VerticalFlip(uint32_t on) { return tarncam::VerticalFlip(St(), on); }
void* TARNCAM_CALL bufferCopy(const void* source, void* destination, uint32_t count) {
  return tarncam::bufferCopy(source, destination, count);
}
uint32_t TARNCAM_CALL checkdevice(uint32_t /*ignored*/) { return tarncam::checkdevice(Cam()); }
uint32_t TARNCAM_CALL closeUSB(void) {
  tarncam::closeUSB(Cam());
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
uint8_t* TARNCAM_CALL getbufptr(void) { return tarncam::getbufptr(St()); }
uint32_t TARNCAM_CALL isExposing(void) { return tarncam::isExposing(St()); }
uint32_t TARNCAM_CALL openUSB(uint32_t /*ignored*/) { return tarncam::openUSB(Cam()); }

}  // extern "C"

// The four exports with C++-decorated names.
char* TARNCAM_CALL CopyRight(void) { return const_cast<char*>(tarncam::kNotice); }
tarncam_ulong TARNCAM_CALL DEBUG(tarncam_ulong queryCode) {
  return tarncam::DEBUG(Cam(), static_cast<uint32_t>(queryCode));
}
void TARNCAM_CALL OpenDevice(void) { tarncam::OpenDevice(Cam()); }
void TARNCAM_CALL debayerBuffer(unsigned char* destination, tarncam_ulong width,
                                tarncam_ulong height) {
  tarncam::debayerBuffer(St(), destination, static_cast<uint32_t>(width),
                         static_cast<uint32_t>(height));
}
