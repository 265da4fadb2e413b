// Finding, opening and closing the camera: the whole conversation with a
// programmed controller, a blank one, a missing one and a wrong one.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fakes/test_helpers.h"
#include "sensor/register_block.h"
#include "usb/device.h"
#include "usb/requests.h"

namespace tarncam::testing {
namespace {

std::vector<Op> Ops(const std::vector<Event>& log) {
  std::vector<Op> ops;
  for (const Event& e : log) ops.push_back(e.op);
  return ops;
}

int CountFirmwareDownloads(const std::vector<Event>& log) {
  int n = 0;
  for (const Event& e : log)
    if (IsControl(e, kVendorOut, kReqFirmwareLoad) && e.setup.value == kCpuControlRegister &&
        e.data == Bytes({0x01}))
      ++n;
  return n;
}

TEST(OpenUsb, ProgrammedCameraOpensWithPipesSetUp) {
  FakeCamera f;
  ASSERT_EQ(exports::openUSB(f.cam), 1u);
  const CameraState& s = *f.state;
  EXPECT_TRUE(s.DeviceOpen());
  EXPECT_EQ(s.pipeIn, 0x82);
  EXPECT_EQ(s.pipeOut, 0x01);
  EXPECT_EQ(std::string(s.devicePath), f.fake.path);

  const auto log = f.fake.Log();
  EXPECT_EQ(Ops(log), (std::vector<Op>{Op::kFindDevice, Op::kOpen, Op::kClaim, Op::kControl,
                                       Op::kStallRecovery, Op::kStallRecovery, Op::kControl}));
  EXPECT_EQ(log[1].text, f.fake.path);
  // Descriptor read: standard request, device descriptor, 18 bytes.
  EXPECT_EQ(log[3].setup.requestType, 0x80);
  EXPECT_EQ(log[3].setup.request, 0x06);
  EXPECT_EQ(log[3].setup.value, 0x0100);
  EXPECT_EQ(log[3].setup.index, 0);
  EXPECT_EQ(log[3].setup.length, 18);
  // Stall recovery on both pipes, IN pipe first.
  EXPECT_EQ(log[4].pipe, 0x82);
  EXPECT_EQ(log[5].pipe, 0x01);
  // Version query 99.
  EXPECT_TRUE(IsControl(log[6], kVendorIn, kReqQuery));
  EXPECT_EQ(log[6].setup.index, 99);
  EXPECT_TRUE(f.fake.Log(Op::kShowMessage).empty());
  EXPECT_TRUE(f.fake.SleepsMs().empty());
}

// Why no camera opened, for native clients that tell the user: the
// reason the platform gave, at the step that failed.
TEST(OpenDevice, RecordsWhyNoCameraOpened) {
  struct Case {
    const char* what;
    std::function<void(RecordingPlatform&)> script;
    UsbStatus why;
  };
  const Case cases[] = {
      {"opened", [](RecordingPlatform&) {}, UsbStatus::kOk},
      {"none present", [](RecordingPlatform& p) { p.present = false; }, UsbStatus::kNoDevice},
      {"no permission",
       [](RecordingPlatform& p) {
         p.openFails = true;
         p.openFailure = UsbResult::Fail(UsbStatus::kAccess);
       },
       UsbStatus::kAccess},
      {"in use",
       [](RecordingPlatform& p) {
         p.initFails = true;
         p.claimFailure = UsbResult::Fail(UsbStatus::kBusy);
       },
       UsbStatus::kBusy},
      {"stays blank", [](RecordingPlatform& p) { p.blankOpens = 2; }, UsbStatus::kIo},
      // The firmware check comes after the open; the open itself succeeded.
      {"wrong firmware", [](RecordingPlatform& p) { p.firmwareVersion = 7; }, UsbStatus::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeCamera f;
    c.script(f.fake);
    exports::openUSB(f.cam);
    EXPECT_EQ(f.state->lastOpen.status, c.why);
  }
}

TEST(OpenUsb, BlankControllerGetsFirmwareOnceThenOpens) {
  FakeCamera f;
  f.fake.blankOpens = 1;
  ASSERT_EQ(exports::openUSB(f.cam), 1u);
  const auto log = f.fake.Log();
  EXPECT_EQ(CountFirmwareDownloads(log), 1);
  EXPECT_EQ(f.fake.Log(Op::kFindDevice).size(), 2u);
  // The blank attempt ends closed (both handles released), then waits for
  // the controller to come back.
  std::vector<Op> tail;
  for (const Event& e : log)
    if (e.op == Op::kClose || (e.op == Op::kSleep && e.value == 5000)) tail.push_back(e.op);
  EXPECT_EQ(tail, (std::vector<Op>{Op::kClose, Op::kSleep}));
  EXPECT_NE(f.fake.Log(Op::kClose).at(0).handle2, kInvalidHandle);
  // Waits: 100 + 100 inside the download, then 5000.
  EXPECT_EQ(f.fake.SleepsMs(), (std::vector<uint32_t>{100, 100, 5000}));
  EXPECT_EQ(f.fake.liveDevices(), 1);
  EXPECT_EQ(f.fake.liveInterfaces(), 1);
  EXPECT_EQ(f.fake.misuse(), 0);
}

TEST(OpenUsb, ControllerBlankTwiceEndsClosedWithoutMessage) {
  FakeCamera f;
  f.fake.blankOpens = 2;
  EXPECT_EQ(exports::openUSB(f.cam), 0u);
  EXPECT_FALSE(f.state->DeviceOpen());
  const auto log = f.fake.Log();
  EXPECT_EQ(CountFirmwareDownloads(log), 2);
  EXPECT_EQ(f.fake.Log(Op::kFindDevice).size(), 2u);  // no third attempt
  EXPECT_TRUE(f.fake.Log(Op::kShowMessage).empty());
  EXPECT_EQ(f.fake.SleepsMs(), (std::vector<uint32_t>{100, 100, 5000, 100, 100, 5000}));
  EXPECT_EQ(f.fake.liveDevices(), 0);
  EXPECT_EQ(f.fake.liveInterfaces(), 0);
}

TEST(OpenUsb, NoCameraReturnsZeroSilently) {
  FakeCamera f;
  f.fake.present = false;
  EXPECT_EQ(exports::openUSB(f.cam), 0u);
  EXPECT_FALSE(f.state->DeviceOpen());
  EXPECT_EQ(Ops(f.fake.Log()), (std::vector<Op>{Op::kFindDevice}));
}

TEST(OpenUsb, WrongFirmwareShowsTheMismatchAndCloses) {
  struct Case {
    std::optional<uint32_t> reply;
    std::string text;
  };
  const Case cases[] = {
      {7, "Incompatible Camera Firmware version detected\n\n\tFound\t7\n\tExpecting\t20090909 "},
      {0xDEAD, "Unknown camera detetcted"},
      // No answer: the query code itself comes back.
      {std::nullopt,
       "Incompatible Camera Firmware version detected\n\n\tFound\t99\n\tExpecting\t20090909 "},
      // Printed signed.
      {0xFFFFFFFE,
       "Incompatible Camera Firmware version detected\n\n\tFound\t-2\n\tExpecting\t20090909 "},
  };
  for (const Case& c : cases) {
    FakeCamera f;
    f.fake.firmwareVersion = c.reply;
    EXPECT_EQ(exports::openUSB(f.cam), 0u);
    EXPECT_FALSE(f.state->DeviceOpen());
    const auto msgs = f.fake.Log(Op::kShowMessage);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].text, c.text);
    EXPECT_EQ(msgs[0].caption, "CMOS CAMERA ERROR");
    EXPECT_LE(msgs[0].text.size(), 127u);
    // The box comes before the close, and everything was released.
    EXPECT_EQ(f.fake.Log().back().op, Op::kClose);
    EXPECT_EQ(f.fake.liveDevices(), 0);
    EXPECT_EQ(f.fake.liveInterfaces(), 0);
  }
}

TEST(OpenUsb, FailedOpenOrBindingEndsClosedAndBalanced) {
  {
    FakeCamera f;
    f.fake.openFails = true;
    EXPECT_EQ(exports::openUSB(f.cam), 0u);
    EXPECT_FALSE(f.state->DeviceOpen());
    // The invalid handle was passed on untested; the binding then failed.
    const auto init = f.fake.Log(Op::kClaim);
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].handle, kInvalidHandle);
    EXPECT_TRUE(f.fake.Log(Op::kClose).empty());
  }
  {
    FakeCamera f;
    f.fake.initFails = true;
    EXPECT_EQ(exports::openUSB(f.cam), 0u);
    EXPECT_FALSE(f.state->DeviceOpen());
    EXPECT_EQ(f.fake.liveDevices(), 0);
    EXPECT_EQ(f.fake.misuse(), 0);
  }
}

TEST(OpenUsb, DeviceFailingEveryTransferIsTakenAsProgrammedThenRejected) {
  // The descriptor read fails (counts as programmed); the version query fails
  // (reported as 99). Consistent state, no download, no retries.
  FakeCamera f;
  f.fake.controlFails = true;
  EXPECT_EQ(exports::openUSB(f.cam), 0u);
  EXPECT_FALSE(f.state->DeviceOpen());
  EXPECT_EQ(CountFirmwareDownloads(f.fake.Log()), 0);
  EXPECT_EQ(f.fake.Controls().size(), 2u);
  EXPECT_EQ(f.fake.Log(Op::kShowMessage).size(), 1u);
  EXPECT_EQ(f.fake.liveDevices(), 0);
  EXPECT_EQ(f.fake.liveInterfaces(), 0);
}

TEST(OpenUsb, ReopenClosesThePreviousUseFirst) {
  FakeCamera f;
  ASSERT_EQ(exports::openUSB(f.cam), 1u);
  ASSERT_EQ(exports::openUSB(f.cam), 1u);
  EXPECT_EQ(f.fake.liveDevices(), 1);
  EXPECT_EQ(f.fake.liveInterfaces(), 1);
  EXPECT_EQ(f.fake.misuse(), 0);
}

TEST(FindDevicePath, CutsALongPathTo1023Characters) {
  FakeCamera f;
  f.fake.path = std::string(2000, 'p');
  EXPECT_EQ(FindDevicePath(f.cam), 1u);
  EXPECT_EQ(std::string(f.state->devicePath), std::string(1023, 'p'));
  // The open that follows uses the cut path.
  exports::OpenDevice(f.cam);
  EXPECT_EQ(f.fake.Log(Op::kOpen).at(0).text, std::string(1023, 'p'));
  f.fake.present = false;
  EXPECT_EQ(FindDevicePath(f.cam), 0u);
}

TEST(CheckDevice, ReportsACameraAndLeavesItClosed) {
  FakeCamera f;
  EXPECT_EQ(exports::checkdevice(f.cam), 1u);
  EXPECT_FALSE(f.state->DeviceOpen());
  EXPECT_EQ(f.fake.liveDevices(), 0);
  EXPECT_EQ(f.fake.liveInterfaces(), 0);
  EXPECT_TRUE(f.fake.Log(Op::kShowMessage).empty());  // no version check here
  f.fake.present = false;
  EXPECT_EQ(exports::checkdevice(f.cam), 0u);
}

TEST(OpenDevice, OverAnOpenDeviceReleasesTheOldHandles) {
  FakeCamera f;
  exports::OpenDevice(f.cam);
  exports::OpenDevice(f.cam);
  EXPECT_TRUE(f.state->DeviceOpen());
  EXPECT_EQ(f.fake.liveDevices(), 1);
  EXPECT_EQ(f.fake.liveInterfaces(), 1);
}

TEST(CancelExposure, WritesTheAbortByteOnlyWithADevice) {
  FakeCamera f;
  exports::CancelExposure(f.cam);
  EXPECT_TRUE(f.fake.Log().empty());
  OpenFresh(f);
  EXPECT_NE(exports::CancelExposure(f.cam), 0u);
  const auto w = f.fake.Log(Op::kWritePipe);
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].pipe, 0x01);
  EXPECT_EQ(w[0].data, Bytes({0x30}));
  EXPECT_EQ(f.state->exposing.load(), 0u);  // neither tested nor changed
  f.fake.writeFails = true;
  EXPECT_EQ(exports::CancelExposure(f.cam), 0u);
}

TEST(CloseUsb, DuringAnExposureAbortsWaitsAndClears) {
  FakeCamera f;
  OpenFresh(f);
  f.state->exposing = 1;
  exports::closeUSB(f.cam);
  EXPECT_EQ(f.state->exposing.load(), 0u);
  EXPECT_FALSE(f.state->DeviceOpen());
  EXPECT_EQ(Ops(f.fake.Log()),
            (std::vector<Op>{Op::kWritePipe, Op::kSleep, Op::kClose}));
  EXPECT_EQ(f.fake.SleepsMs(), (std::vector<uint32_t>{500}));
}

TEST(CloseUsb, IdleOrClosedChangesNothing) {
  FakeCamera f;
  exports::closeUSB(f.cam);
  EXPECT_TRUE(f.fake.Log().empty());
  OpenFresh(f);
  exports::closeUSB(f.cam);
  EXPECT_EQ(Ops(f.fake.Log()), (std::vector<Op>{Op::kClose}));
  exports::closeUSB(f.cam);
  EXPECT_EQ(f.fake.Log().size(), 1u);
  EXPECT_EQ(f.fake.misuse(), 0);
}

// Regression: a controller that has just taken its program runs the
// sensor on its power-on settings; programming it with the settings sent
// before the download must still send them.
TEST(OpenUsb, AfterAFirmwareDownloadTheNextProgrammingSends) {
  FakeCamera f;
  ASSERT_EQ(exports::openUSB(f.cam), 1u);
  exports::ProgramCamera(f.cam, 50, 50, 127, 0);
  exports::closeUSB(f.cam);
  ASSERT_EQ(exports::openUSB(f.cam), 1u);  // a plain reopen: the camera kept its settings
  f.fake.ClearLog();
  exports::ProgramCamera(f.cam, 50, 50, 127, 0);
  EXPECT_TRUE(f.fake.Controls().empty());
  exports::closeUSB(f.cam);
  f.fake.blankOpens = 1;  // unplugged meanwhile: it comes back blank
  ASSERT_EQ(exports::openUSB(f.cam), 1u);
  f.fake.ClearLog();
  exports::ProgramCamera(f.cam, 50, 50, 127, 0);
  ASSERT_EQ(f.fake.Controls().size(), 1u);
  EXPECT_EQ(f.fake.Controls()[0].setup.request, kReqProgram);
}

TEST(Settings, SurviveCloseAndReopen) {
  FakeCamera f;
  f.state->width = 640;
  f.state->lastExposure = 34;
  ASSERT_EQ(exports::openUSB(f.cam), 1u);
  exports::closeUSB(f.cam);
  ASSERT_EQ(exports::openUSB(f.cam), 1u);
  EXPECT_EQ(f.state->width, 640);
  EXPECT_EQ(f.state->lastExposure, 34u);
}

}  // namespace
}  // namespace tarncam::testing
