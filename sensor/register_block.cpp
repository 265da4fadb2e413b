#include "sensor/register_block.h"

#include "usb/control.h"
#include "usb/requests.h"
#include "usb/timing.h"

namespace tarncam {
namespace {

// Words go high byte first, counts low byte first: the block mixes both.
void PutU16Be(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void PutU24Le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
}

}  // namespace

RegisterBlock BuildRegisterBlock(const CameraState& s, const SensorWorkingValues& w) {
  RegisterBlock b{};  // positions 48..63 stay zero
  PutU16Be(&b[0], s.companding != 0 ? 0x0303 : 0x0002);
  PutU16Be(&b[2], gainTable[w.gainIndex]);
  PutU16Be(&b[4], s.agc != 0 ? 0x0202 : 0x0000);
  PutU16Be(&b[6], w.regimeWord);
  PutU16Be(&b[8], 0x0000);  // offset word: the offset setting is never sent
  PutU16Be(&b[10], s.rowNoise != 0 ? 0x0038 : 0x0018);
  // The sensor's column-mirror bit runs the other way from the row bit: set
  // while the image is not flipped horizontally.
  PutU16Be(&b[12], 0x0300 | (s.verticalFlip != 0 ? 0x0010 : 0) |
                       (s.horizontalFlip == 0 ? 0x0020 : 0));
  PutU16Be(&b[14], 0x0840 + s.adcRef);
  b[16] = static_cast<uint8_t>(s.digitalGain);
  PutU16Be(&b[17], 0x0001);
  PutU16Be(&b[19], s.rowStart + 4);
  PutU16Be(&b[21], s.rowsToCopy);
  PutU16Be(&b[23], s.rowPitch - s.hBlank);
  PutU16Be(&b[25], s.hBlank);
  PutU16Be(&b[27], s.vBlank);
  PutU16Be(&b[29], 0x0388);
  PutU16Be(&b[31], 0x0000);
  PutU16Be(&b[33], static_cast<uint32_t>(w.shutterRows));
  PutU24Le(&b[35], s.leadTime);
  PutU24Le(&b[38], s.readLength);
  PutU24Le(&b[41], s.tailTime);
  PutU24Le(&b[44], w.frameEndMark);
  b[47] = s.dynamicRange;
  return b;
}

UsbResult ProgramSensor(Camera& cam, SettleAfterFailure settle) {
  CameraState& s = cam.state;
  if (!s.DeviceOpen()) return kNotOpen;  // nothing derived, built or sent

  const SensorWorkingValues w = DeriveGeometry(s);
  RegisterBlock block = BuildRegisterBlock(s, w);

  // Repeated programming with unchanged settings costs neither a transfer
  // nor the settle wait.
  const bool send =
      block != s.lastBlock || s.forceResend != 0 || s.lastExposure != w.deviceExposure;
  if (!send) return UsbResult::Ok();

  // Remembered before the transfer and kept if it fails.
  s.forceResend = 0;
  s.lastBlock = block;
  s.lastExposure = w.deviceExposure;
  const UsbResult result =
      ControlOut(cam, kReqProgram, static_cast<uint16_t>(w.deviceExposure & 0xFFFF),
                 static_cast<uint16_t>(w.deviceExposure >> 16), block.data(),
                 static_cast<uint32_t>(block.size()));
  // A block the camera did not take goes out again at the next programming,
  // changed or not: until then the camera runs on settings that lastBlock no
  // longer describes, and its frames would have another size.
  if (!result.ok()) s.forceResend = 1;
  // The sensor needs this long to take the new settings. A stop that cuts
  // the wait short leaves them unsettled: the next programming sends them
  // again, with its full settle.
  if ((result.ok() || settle == SettleAfterFailure::kWait) &&
      ProtocolWait(cam, kProgramSettleMs))
    s.forceResend = 1;
  return result;
}

UsbResult ProgramSettings(Camera& cam, uint32_t exposure, uint32_t gain, uint32_t offset,
                          uint32_t extraValue) {
  CameraState& s = cam.state;
  s.exposure = exposure;
  s.gain = gain;
  s.offset = offset;
  s.extraValue = extraValue;
  return ProgramSensor(cam);
}

UsbResult ResendSettings(Camera& cam) {
  CameraState& s = cam.state;
  s.forceResend = 1;
  return ProgramSettings(cam, s.exposure, s.gain, s.offset, s.extraValue);
}

}  // namespace tarncam
