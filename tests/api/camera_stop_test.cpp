// Stopping and closing in the camera API, where they meet other events: a
// stop aimed at an exposure that ends meanwhile, a camera known to be gone,
// the settle and the controller restart a stop must cut short, and a
// listing's brief probe meeting an open.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "api/registry.h"
#include "api_test_support.h"

namespace apitest {
namespace {

TEST(CameraStop, AStopMeetingTheEndOfItsExposureNeverCutsTheNextOneShort) {
  SimRig rig;
  ASSERT_EQ(rig.Open("test:stop-race"), TARNCAM_OK);
  rig.cam->HoldReads(true);
  std::vector<uint8_t> frame(752 * 480, 0xEE);
  // The documented streaming pattern: the callback starts the next exposure.
  struct Chain {
    std::vector<uint8_t>* frame;
    std::atomic<int> seen{0};
  } chain{&frame};
  auto onFrame = [](tarncam_camera* cam, const tarncam_frame_record*, void* user) {
    auto* c = static_cast<Chain*>(user);
    if (c->seen.fetch_add(1) == 0) {
      EXPECT_EQ(tarncam_start_exposure(cam, c->frame->data(), c->frame->size(), nullptr, nullptr),
                TARNCAM_OK);
    }
  };
  ASSERT_EQ(tarncam_start_exposure(rig.handle, frame.data(), frame.size(), onFrame, &chain),
            TARNCAM_OK);
  ASSERT_TRUE(rig.cam->WaitForPendingRead(1));
  // The abort aimed at exposure 1 is on its way when exposure 1 ends and
  // its callback starts exposure 2. Unfixed, exposure 2's read was pending
  // by the time the abort arrived, and was cut short by it.
  rig.cam->OnWrite([&] {
    rig.cam->OnWrite(nullptr);
    rig.cam->ReleaseRead();
    rig.cam->WaitForPendingRead(2, 1000);
  });
  EXPECT_TRUE(Is(TARNCAM_OK, tarncam_cancel_exposure(rig.handle)));
  ASSERT_TRUE(rig.cam->WaitForPendingRead(2));
  rig.cam->ReleaseRead();
  tarncam_frame_record r = NewRecord();
  EXPECT_TRUE(Is(TARNCAM_OK, tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, &r)));
  EXPECT_EQ(r.sequence, 2u);
  EXPECT_EQ(r.outcome, TARNCAM_FRAME_COMPLETE);
  EXPECT_TRUE(HoldsPattern(frame.data(), 752, 480, false, 480));
  EXPECT_EQ(rig.cam->Stats().reads, 2u);
}

TEST(CameraStop, OnceTheCameraIsKnownGoneEveryCallSaysNoDevice) {
  SimRig rig;
  ASSERT_EQ(rig.Open("test:gone"), TARNCAM_OK);
  std::vector<uint8_t> frame(752 * 480);
  ASSERT_EQ(tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr),
            TARNCAM_OK);
  tarncam_frame_record r = NewRecord();
  ASSERT_EQ(tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, &r), TARNCAM_OK);
  rig.cam->SetPresent(false);
  EXPECT_TRUE(
      Is(TARNCAM_ERR_NO_DEVICE, tarncam_guide_pulse(rig.handle, TARNCAM_GUIDE_PLUS_X, 100, 0)));
  // The ended exposure's record is still there, and still filled; the call
  // says what is known now (it said OK).
  r = NewRecord();
  EXPECT_TRUE(Is(TARNCAM_ERR_NO_DEVICE, tarncam_wait_frame(rig.handle, 0, &r)));
  EXPECT_EQ(r.sequence, 1u);
  EXPECT_EQ(r.outcome, TARNCAM_FRAME_COMPLETE);
}

TEST(CameraStop, CancelAndCloseCutTheSettleAndTheControllerRestartShort) {
  SimRig rig;
  rig.opts.fail_read_number = 1;  // the first read fails: a controller restart follows
  ASSERT_EQ(rig.Open("test:prompt"), TARNCAM_OK);
  rig.sys->HoldSleeps(true);
  std::vector<uint8_t> frame(752 * 480);
  tarncam_frame_record r = NewRecord();

  // A new exposure time: the register block goes out, then the 500 ms
  // settle, which the cancel ends where it stands.
  ASSERT_EQ(tarncam_set_control(rig.handle, TARNCAM_CONTROL_EXPOSURE_MS, 200), TARNCAM_OK);
  ASSERT_EQ(tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr),
            TARNCAM_OK);
  ASSERT_TRUE(rig.sys->WaitForHeldSleeps(1, 5000));
  const uint64_t settleAt = rig.clock.NowUs();
  EXPECT_TRUE(Is(TARNCAM_OK, tarncam_cancel_exposure(rig.handle)));
  EXPECT_TRUE(Is(TARNCAM_ERR_CANCELLED, tarncam_wait_frame(rig.handle, 0, &r)));
  EXPECT_EQ(r.reads_attempted, 0u);
  EXPECT_LT(rig.clock.NowUs() - settleAt, 50'000u);
  EXPECT_EQ(rig.cam->Stats().programmings, 1u);

  // The settings never settled: the next exposure sends them again and
  // waits in full. Its first read fails; the close arrives while the
  // controller is held in reset, and ends the restart's waits at once.
  ASSERT_EQ(tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr),
            TARNCAM_OK);
  ASSERT_TRUE(rig.sys->WaitForHeldSleeps(2, 5000));
  EXPECT_EQ(rig.cam->Stats().programmings, 2u);
  rig.clock.Advance(500'000);
  ASSERT_TRUE(rig.sys->WaitForHeldSleeps(3, 5000));  // the 50 ms hold of the restart
  const uint64_t restartAt = rig.clock.NowUs();
  EXPECT_TRUE(Is(TARNCAM_OK, tarncam_close(rig.handle)));
  rig.handle = nullptr;
  EXPECT_LT(rig.clock.NowUs() - restartAt, 50'000u);

  // The restart cut short still let the controller's program run again:
  // reopened, the camera takes its settings and delivers.
  rig.sys->HoldSleeps(false);
  ASSERT_EQ(tarncam::api::OpenOnPlatform({rig.cam.get(), rig.sys.get()}, sim::SimCamera::kPath,
                                         "test:prompt", &rig.handle),
            TARNCAM_OK);
  ASSERT_EQ(tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr),
            TARNCAM_OK);
  EXPECT_TRUE(Is(TARNCAM_OK, tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, &r)));
  EXPECT_TRUE(HoldsPattern(frame.data(), 752, 480, false, 480));
}

TEST(CameraStop, AnOpenMeetingAListingsProbeWaitsForItInsteadOfFailingBusy) {
  sim::Options o = sim::DefaultOptions();
  o.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
  char id[TARNCAM_ID_SIZE] = {};
  ASSERT_EQ(tarncam_sim_add(&o, id, sizeof id), TARNCAM_OK);
  sim::SimCamera& cam = tarncam::api::Registry::Instance().FindSim(id)->device->camera();
  // While the listing's probe holds the interface, another thread opens the
  // camera (given a second to get there). Unfixed, the open met the claim
  // and failed with BUSY.
  std::atomic<bool> armed{true};
  std::future<tarncam_status> opened;
  tarncam_camera* handle = nullptr;
  cam.OnClaim([&] {
    if (!armed.exchange(false)) return;
    opened = std::async(std::launch::async, [&] { return tarncam_open_id(id, &handle); });
    opened.wait_for(std::chrono::seconds(1));
  });
  std::vector<tarncam_camera_info> infos(4);
  infos[0].struct_size = sizeof(tarncam_camera_info);
  uint32_t count = 0;
  ASSERT_EQ(tarncam_list_cameras(infos.data(), 4, &count), TARNCAM_OK);
  ASSERT_TRUE(opened.valid());
  EXPECT_EQ(opened.get(), TARNCAM_OK);
  cam.OnClaim(nullptr);
  if (handle != nullptr) {
    EXPECT_EQ(tarncam_close(handle), TARNCAM_OK);
  }
  EXPECT_EQ(tarncam_sim_remove(id), TARNCAM_OK);
}

}  // namespace
}  // namespace apitest
