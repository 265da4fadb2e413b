// Closing the device while a transfer is in flight on another thread: the
// handles stay valid for that transfer and are released when it ends.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "capture/exposure.h"
#include "fakes/test_helpers.h"
#include "usb/control.h"
#include "usb/device.h"
#include "usb/link.h"
#include "usb/requests.h"

namespace tarncam::testing {
namespace {

// Holds a transfer inside the fake until released.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool entered = false;
  bool open = false;
  void Enter() {
    std::unique_lock l(m);
    entered = true;
    cv.notify_all();
    cv.wait(l, [&] { return open; });
  }
  void WaitEntered() {
    std::unique_lock l(m);
    cv.wait(l, [&] { return entered; });
  }
  void Open() {
    std::lock_guard l(m);
    open = true;
    cv.notify_all();
  }
};

TEST(LinkLease, CloseDuringATransferDefersTheReleaseToItsEnd) {
  FakeCamera f;
  OpenFresh(f);
  Gate gate;
  f.fake.onControl = [&](const SetupPacket&, uint8_t*, uint32_t) -> std::optional<bool> {
    gate.Enter();
    return true;
  };
  std::thread t([&] { WriteSensorRegister(f.cam, 1, 2); });
  gate.WaitEntered();

  ReleaseDevice(f.cam);
  EXPECT_FALSE(f.state->DeviceOpen());
  EXPECT_EQ(f.fake.liveDevices(), 1);  // still in use
  EXPECT_EQ(f.fake.liveInterfaces(), 1);
  // New transfers see a closed device at once.
  EXPECT_FALSE(SendCameraReset(f.cam).ok());

  gate.Open();
  t.join();
  EXPECT_EQ(f.fake.liveDevices(), 0);
  EXPECT_EQ(f.fake.liveInterfaces(), 0);
  EXPECT_EQ(f.fake.misuse(), 0);
  EXPECT_FALSE(LinkLease(f.cam));
}

// closeUSB during a frame read: the read is cancelled while its handles are
// still live (a camera that ignores the abort would otherwise hold it until
// its timeout), and the readout, seeing the device closed, stops without a
// reset and releases the handles.
TEST(LinkLease, CloseCancelsTheReadStillRunningAndTheReadoutStops) {
  FakeCamera f;
  OpenFresh(f);
  Gate gate;
  f.fake.onRead = [&] { gate.Enter(); };
  f.fake.readResults = {false};
  f.fake.readFailure = UsbResult::Fail(UsbStatus::kCancelled);
  std::vector<uint8_t> dest(752 * 480);
  std::thread worker([&] {
    ASSERT_TRUE(ClaimExposure(*f.state));
    RunClaimedExposure(f.cam, dest.data(), ExposureThread::kCaller);
  });
  gate.WaitEntered();

  const Handle usb = f.state->usbHandle;
  CloseCamera(f.cam);
  const auto cancels = f.fake.Log(Op::kCancel);
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_EQ(cancels[0].handle, usb);
  EXPECT_TRUE(f.fake.Log(Op::kClose).empty()) << "the read still holds the handles";

  gate.Open();  // the cancelled read returns
  worker.join();
  EXPECT_EQ(f.fake.Log(Op::kReadPipe).size(), 1u);
  for (const Event& e : f.fake.Controls())
    EXPECT_FALSE(IsControl(e, kVendorOut, kReqFirmwareLoad)) << "no reset of a closed device";
  EXPECT_EQ(f.fake.liveDevices(), 0);
  EXPECT_EQ(f.fake.liveInterfaces(), 0);
  EXPECT_EQ(f.fake.misuse(), 0);
}

TEST(LinkLease, ReopenWhileAnOldTransferRunsKeepsBothGenerationsApart) {
  FakeCamera f;
  OpenFresh(f);
  Gate gate;
  f.fake.onControl = [&](const SetupPacket& s, uint8_t*, uint32_t) -> std::optional<bool> {
    if (s.request == 0x30) gate.Enter();
    return std::nullopt;
  };
  std::thread t([&] { WriteSensorRegister(f.cam, 1, 2); });
  gate.WaitEntered();
  ReleaseDevice(f.cam);
  ASSERT_EQ(OpenCamera(f.cam, nullptr).status, OpenStatus::kOpened);  // a new device while the old transfer runs
  EXPECT_EQ(f.fake.liveDevices(), 2);
  gate.Open();
  t.join();
  // The old handles went with the old transfer; the new device is intact.
  EXPECT_EQ(f.fake.liveDevices(), 1);
  EXPECT_EQ(f.fake.liveInterfaces(), 1);
  EXPECT_TRUE(f.state->DeviceOpen());
  EXPECT_TRUE(SendCameraReset(f.cam).ok());
  EXPECT_EQ(f.fake.misuse(), 0);
}

}  // namespace
}  // namespace tarncam::testing
