// The USB contract (tests/usb_contract) on the libusb backend, through the
// Linux USB stack to tarncam-gadget in the USB VM: every case in this one
// process, each against a fresh gadget whose simulator options produce what
// the case needs from the device side (a stalled, short or overflowing
// read). Waits are real; the camera exposes for 5 ms, or 4 s where a read
// must stay pending.

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/camera_state.h"
#include "platform/libusb/libusb_transport.h"
#include "processes.h"
#include "sensor/geometry.h"
#include "sensor/register_block.h"
#include "tarncam/tarncam_camera.h"
#include "usb_contract.h"

namespace usbcontract {
namespace {

constexpr uint32_t kQuickMs = 5;

// One backend for every case, as a program has: the backend keeps its libusb
// context for the life of the process, which a transport per case would
// leave behind once for each.
tarncam::LibusbTransport& SharedTransport() {
  static tarncam::LibusbTransport transport;
  return transport;
}
constexpr uint32_t kPendingMs = 4000;

class GadgetRig final : public Rig {
 public:
  explicit GadgetRig(const std::string& options)
      : gadget(std::make_unique<usbvm::Gadget>("scene=test-pattern" + options)),
        state(std::make_unique<tarncam::CameraState>()) {
    EXPECT_TRUE(gadget->WaitFor("connected camera")) << gadget->Transcript();
    // The host sees it once enumeration and udev are through.
    char found[tarncam::kDevicePathCapacity] = {};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!usb.FindFirstDevice(found, sizeof found) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    path = found;
    EXPECT_FALSE(path.empty());
  }
  // The next case's gadget binds the same device controller: it starts
  // only once the host has seen this one leave.
  ~GadgetRig() override {
    gadget.reset();
    char found[tarncam::kDevicePathCapacity];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (usb.FindFirstDevice(found, sizeof found) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  tarncam::UsbTransport& Usb() override { return usb; }
  std::string Path() override { return path; }
  void Prepare(Handle h) override { Program(h, kQuickMs); }
  uint32_t FrameBytes() override { return state->readLength; }
  void HoldReads(Handle h, bool hold) override {
    if (hold) exposing = gadget->Count("exposing");
    Program(h, hold ? kPendingMs : kQuickMs);
  }
  void AwaitPendingRead() override { ASSERT_TRUE(gadget->WaitFor("exposing", exposing + 1)); }
  void PassTime(uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  bool ShapeNextRead(Shape shape) override {
    // Arranged by the options the gadget started with; a zero-length
    // transfer it cannot send (it offers a frame's first packet before the
    // host asks).
    return (shape == Shape::kStall && stalls) || (shape == Shape::kShort && shorts);
  }
  void Unplug() override { gadget->Send("unplug"); }

  bool stalls = false;
  bool shorts = false;

 private:
  // The camera's own register block, with the exposure time in the request.
  void Program(Handle h, uint32_t exposureMs) {
    state->exposure = exposureMs;
    const tarncam::SensorWorkingValues w = tarncam::DeriveGeometry(*state);
    tarncam::RegisterBlock block = tarncam::BuildRegisterBlock(*state, w);
    const tarncam::SetupPacket setup{tarncam::kVendorOut, tarncam::kReqProgram,
                                     static_cast<uint16_t>(w.deviceExposure >> 16),
                                     static_cast<uint16_t>(w.deviceExposure & 0xFFFF), 64};
    EXPECT_TRUE(usb.ControlTransfer(h, setup, block.data(), 64).ok());
    // Read back (the request after it), so the gadget has surely taken it.
    uint8_t reply[4];
    const tarncam::SetupPacket query{tarncam::kVendorIn, tarncam::kReqQuery, 0,
                                     static_cast<uint16_t>(tarncam::kVersionQuery), 4};
    usb.ControlTransfer(h, query, reply, 4);
  }

  std::unique_ptr<usbvm::Gadget> gadget;
  tarncam::LibusbTransport& usb = SharedTransport();
  std::unique_ptr<tarncam::CameraState> state;
  std::string path;
  int exposing = 0;
};

class UsbContract : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* inVm = std::getenv("TARNCAM_IN_VM");
    if (inVm == nullptr || std::string(inVm) != "1")
      GTEST_SKIP() << "needs the USB test VM (run through ctest)";
    struct stat st {};
    ASSERT_EQ(stat("/dev/gadget", &st), 0) << "gadgetfs is not mounted on /dev/gadget";
  }
};

// All cases in one test, so one VM run executes them in one process.
TEST_F(UsbContract, EveryCaseHoldsThroughLibusb) {
  auto run = [](const char* name, const std::string& options, auto body, bool stalls = false,
                bool shorts = false) {
    SCOPED_TRACE(name);
    GadgetRig rig(options);
    rig.stalls = stalls;
    rig.shorts = shorts;
    body(rig);
  };
  run("cancel ends the pending transfer only", "", CancelEndsThePendingTransferOnly);
  run("cancel with nothing pending", "", CancelWithNothingPendingChangesNothing);
  run("cancel from another thread", "", CancelFromAnotherThreadEndsARead);
  run("stall and recovery", ",fail_read=1", AStallIsReportedAndRecovered, true);
  run("timeout", "", AnUnansweredReadTimesOut);
  run("short read", ",short_read=1", ShortReadsAndZeroLengthPacketsAreSuccesses, false, true);
  run("overflow", "", MoreDataThanAskedOverflows);
  run("control during a pending read", "", AControlTransferRunsDuringAPendingRead);
  run("unplug", "", AfterAnUnplugEveryCallSaysNoDevicePromptly);
}

}  // namespace
}  // namespace usbcontract

namespace usbcontract {
namespace {

// Where defect 1 showed: the camera API cancels an exposure whose camera
// ignores the abort, so the library cancels the read itself. The camera
// must stay usable: the next exposure and a guide pulse work on the same
// handle (they were refused as cancelled until the camera was reopened).
TEST_F(UsbContract, TheCameraApiGoesOnAfterCancellingAReadItself) {
  usbvm::Gadget gadget("scene=test-pattern", {"--ignore-abort"});
  ASSERT_TRUE(gadget.WaitFor("connected camera"));
  tarncam_camera_info info[2] = {};
  info[0].struct_size = sizeof info[0];
  uint32_t count = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((tarncam_list_cameras(info, 2, &count) != TARNCAM_OK || count == 0) &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(count, 1u);
  tarncam_camera* cam = nullptr;
  ASSERT_EQ(tarncam_open_id(info[0].id, &cam), TARNCAM_OK) << gadget.Transcript();
  std::vector<uint8_t> frame(752 * 480);
  tarncam_frame_record rec = {};
  rec.struct_size = sizeof rec;

  ASSERT_EQ(tarncam_set_control(cam, TARNCAM_CONTROL_EXPOSURE_MS, 4000), TARNCAM_OK);
  ASSERT_EQ(tarncam_start_exposure(cam, frame.data(), frame.size(), nullptr, nullptr), TARNCAM_OK);
  ASSERT_TRUE(gadget.WaitFor("exposing"));
  EXPECT_EQ(tarncam_cancel_exposure(cam), TARNCAM_OK);
  EXPECT_EQ(tarncam_wait_frame(cam, 0, &rec), TARNCAM_ERR_CANCELLED);
  EXPECT_GE(gadget.Count("abort ignored"), 1) << gadget.Transcript();

  EXPECT_EQ(tarncam_guide_pulse(cam, TARNCAM_GUIDE_PLUS_X, 10, 0), TARNCAM_OK);
  ASSERT_EQ(tarncam_set_control(cam, TARNCAM_CONTROL_EXPOSURE_MS, 5), TARNCAM_OK);
  ASSERT_EQ(tarncam_start_exposure(cam, frame.data(), frame.size(), nullptr, nullptr), TARNCAM_OK);
  EXPECT_EQ(tarncam_wait_frame(cam, 30000, &rec), TARNCAM_OK) << gadget.Transcript();
  EXPECT_EQ(rec.outcome, TARNCAM_FRAME_COMPLETE);
  EXPECT_EQ(tarncam_close(cam), TARNCAM_OK);
}

}  // namespace
}  // namespace usbcontract
