// The 64-byte register block, byte for byte, and the rule that decides
// whether a programming reaches the camera.

#include <gtest/gtest.h>

#include "fakes/test_helpers.h"
#include "sensor/register_block.h"
#include "sensor/settings.h"
#include "usb/device.h"
#include "usb/requests.h"

namespace tarncam::testing {
namespace {

// The block for the settings at load, programmed as 50 ms, gain 50, offset 127.
const RegisterBlock kGoldenBlock = {
    0x00, 0x02, 0x00, 0x2E, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00, 0x00, 0x38, 0x03, 0x20, 0x08, 0x40,
    0xF4, 0x00, 0x01, 0x00, 0x04, 0x01, 0xE0, 0x02, 0xF0, 0x00, 0x2C, 0x00, 0x2C, 0x03, 0x88, 0x00,
    0x00, 0x00, 0x01, 0x41, 0x1F, 0x00, 0x80, 0xD4, 0x05, 0x93, 0x69, 0x00, 0xAC, 0x4A, 0x06, 0x08,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

std::vector<Event> Programs(RecordingPlatform& fake) {
  std::vector<Event> out;
  for (const Event& e : fake.Controls())
    if (IsControl(e, kVendorOut, kReqProgram)) out.push_back(e);
  return out;
}

TEST(RegisterBlock, SettingsAtLoadGiveTheGoldenBlockValue34Index0) {
  FakeCamera f;
  OpenFresh(f);
  EXPECT_TRUE(ProgramSettings(f.cam, 50, 50, 127, 0).ok());
  const auto p = Programs(f.fake);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].setup.value, 34);
  EXPECT_EQ(p[0].setup.index, 0);
  EXPECT_EQ(p[0].setup.length, 64);
  EXPECT_EQ(p[0].data, std::vector<uint8_t>(kGoldenBlock.begin(), kGoldenBlock.end()));
  EXPECT_EQ(f.state->lastBlock, kGoldenBlock);
  EXPECT_EQ(f.state->lastExposure, 34u);
  // The settle wait follows the send.
  const auto log = f.fake.Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].op, Op::kSleep);
  EXPECT_EQ(log[1].value, 500u);
}

TEST(RegisterBlock, ExtremeSettingsBytes) {
  FakeCamera f;
  CameraState& s = *f.state;
  s.verticalFlip = 1;
  s.horizontalFlip = 1;
  s.agc = 1;
  s.companding = 1;
  s.rowNoise = 0;
  ASSERT_TRUE(StoreAdcReference(s, 6));
  s.digitalGain = 300;
  StoreSampleDepth(s, 10);
  OpenFresh(f);
  ProgramSettings(f.cam, 10, 100, 0, 0);
  const auto p = Programs(f.fake);
  ASSERT_EQ(p.size(), 1u);
  const std::vector<uint8_t>& b = p[0].data;
  EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 17),
            Bytes({0x03, 0x03, 0x00, 0x6F, 0x02, 0x02, 0x7F, 0x20, 0x00, 0x00, 0x00, 0x18, 0x03,
                   0x10, 0x08, 0x46, 0x2C}));
  EXPECT_EQ(b[33], 0x00);
  EXPECT_EQ(b[34], 0xB6);
  EXPECT_EQ(b[47], 0x09);
  for (int i = 48; i < 64; ++i) EXPECT_EQ(b[i], 0) << i;
  EXPECT_EQ(p[0].setup.value, 1);
}

TEST(RegisterBlock, QuarterWindowFields) {
  FakeCamera f;
  StoreWindow(*f.state, 376, 240);
  OpenFresh(f);
  ProgramSettings(f.cam, 5, 50, 0, 0);
  const auto p = Programs(f.fake);
  ASSERT_EQ(p.size(), 1u);
  const std::vector<uint8_t>& b = p[0].data;
  EXPECT_EQ(b[19] << 8 | b[20], 0x007C);  // first row
  EXPECT_EQ(b[21] << 8 | b[22], 0x00F0);  // height
  EXPECT_EQ(b[23] << 8 | b[24], 0x0268);  // row width 616
  EXPECT_EQ(b[27] << 8 | b[28], 0x000B);  // vertical blanking
  // Counts low byte first: readLength 158,400 = 0x026AC0.
  EXPECT_EQ(b[38], 0xC0);
  EXPECT_EQ(b[39], 0x6A);
  EXPECT_EQ(b[40], 0x02);
}

TEST(RegisterBlock, HorizontalFlipBitRunsInverted) {
  auto orientation = [](Switch v, Switch h) {
    auto s = std::make_unique<CameraState>();
    s->verticalFlip = v;
    s->horizontalFlip = h;
    const SensorWorkingValues w = DeriveGeometry(*s);
    const RegisterBlock b = BuildRegisterBlock(*s, w);
    return b[12] << 8 | b[13];
  };
  EXPECT_EQ(orientation(0, 0), 0x0320);
  EXPECT_EQ(orientation(0, 1), 0x0300);
  EXPECT_EQ(orientation(1, 0), 0x0330);
  EXPECT_EQ(orientation(5, 0x80000000), 0x0310);
}

TEST(ProgramSensor, SendsOnlyWhatChanged) {
  FakeCamera f;
  OpenFresh(f);
  ProgramSettings(f.cam, 50, 50, 127, 0);
  ASSERT_EQ(Programs(f.fake).size(), 1u);

  // Identical call, offset only, fourth value only, width only: nothing sent,
  // no wait.
  f.fake.ClearLog();
  EXPECT_TRUE(ProgramSettings(f.cam, 50, 50, 127, 0).ok());
  EXPECT_TRUE(ProgramSettings(f.cam, 50, 50, 3, 0).ok());
  EXPECT_TRUE(ProgramSettings(f.cam, 50, 50, 3, 99).ok());
  StoreWindow(*f.state, 640, 480);
  EXPECT_TRUE(ProgramSettings(f.cam, 50, 50, 3, 99).ok());
  EXPECT_TRUE(f.fake.Log().empty());
  EXPECT_EQ(f.state->rowBytes, 640u);  // the readout still sees the new width
  EXPECT_EQ(f.state->offset, 3u);
  EXPECT_EQ(f.state->extraValue, 99u);

  // Long regime, exposure only: same block, new exposure value.
  ProgramSettings(f.cam, 100000, 50, 3, 99);
  auto p = Programs(f.fake);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].data, std::vector<uint8_t>(kGoldenBlock.begin(), kGoldenBlock.end()));
  EXPECT_EQ(p[0].setup.value, 34448);
  EXPECT_EQ(p[0].setup.index, 1);

  // Short regime, exposure only: the shutter width changes, value 1.
  f.fake.ClearLog();
  ProgramSettings(f.cam, 10, 50, 3, 99);
  p = Programs(f.fake);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].data[33] << 8 | p[0].data[34], 290);
  EXPECT_EQ(p[0].setup.value, 1);
  EXPECT_EQ(p[0].setup.index, 0);
}

TEST(ProgramSensor, NoDeviceStoresButDerivesAndSendsNothing) {
  FakeCamera f;
  f.state->forceResend = 1;
  EXPECT_EQ(ProgramSettings(f.cam, 70, 20, 5, 6).status, UsbStatus::kNoDevice);
  EXPECT_EQ(ProgramSensor(f.cam).status, UsbStatus::kNoDevice);
  EXPECT_EQ(f.state->exposure, 70u);
  EXPECT_EQ(f.state->gain, 20u);
  EXPECT_EQ(f.state->offset, 5u);
  EXPECT_EQ(f.state->extraValue, 6u);
  EXPECT_EQ(f.state->rowPitch, 0u);
  EXPECT_EQ(f.state->forceResend, 1u);
  EXPECT_EQ(f.state->lastExposure, 100u);
  EXPECT_TRUE(f.fake.Log().empty());
  // The first programming after an open sends the stored settings.
  OpenFresh(f);
  ProgramSensor(f.cam);
  EXPECT_EQ(Programs(f.fake).size(), 1u);
  EXPECT_EQ(f.state->forceResend, 0u);
}

// Regression (soak): a failed block used to be remembered as sent, so the
// camera kept its old window while frames were read for the new one.
TEST(ProgramSensor, FailedSendStillWaitsAndGoesOutAgainNextTime) {
  FakeCamera f;
  OpenFresh(f);
  f.fake.controlFails = true;
  EXPECT_EQ(ProgramSensor(f.cam).status, UsbStatus::kStall);
  EXPECT_EQ(f.fake.SleepsMs(), (std::vector<uint32_t>{500}));
  EXPECT_EQ(f.state->lastBlock, kGoldenBlock);
  f.fake.ClearLog();
  f.fake.controlFails = false;
  EXPECT_TRUE(ProgramSensor(f.cam).ok());  // unchanged, but the camera never took it
  ASSERT_EQ(Programs(f.fake).size(), 1u);
  EXPECT_EQ(Programs(f.fake)[0].data, std::vector<uint8_t>(kGoldenBlock.begin(), kGoldenBlock.end()));
  f.fake.ClearLog();
  EXPECT_TRUE(ProgramSensor(f.cam).ok());  // taken now: nothing more to send
  EXPECT_TRUE(f.fake.Log().empty());
}

TEST(ResendSettings, ResendsTheSameBytesValueAndIndex) {
  FakeCamera f;
  OpenFresh(f);
  ProgramSettings(f.cam, 100000, 75, 1, 2);
  ASSERT_TRUE(ResendSettings(f.cam).ok());
  const auto p = Programs(f.fake);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1].data, p[0].data);
  EXPECT_EQ(p[1].setup.value, p[0].setup.value);
  EXPECT_EQ(p[1].setup.index, p[0].setup.index);
  EXPECT_EQ(f.state->forceResend, 0u);
  EXPECT_EQ(f.fake.SleepsMs(), (std::vector<uint32_t>{500, 500}));
}

TEST(ProgramSensor, CloseAndReopenKeepsTheMemory) {
  FakeCamera f;
  OpenFresh(f);
  ProgramSettings(f.cam, 50, 50, 127, 0);
  CloseCamera(f.cam);
  OpenFresh(f);
  ProgramSettings(f.cam, 50, 50, 127, 0);
  EXPECT_TRUE(Programs(f.fake).empty());
}

}  // namespace
}  // namespace tarncam::testing
