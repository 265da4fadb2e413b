// The library end to end on the simulated camera: only the exported
// functions are called, the camera runs on a virtual clock, and every test is
// its own process (the exported camera is static).

#include <gtest/gtest.h>
#include <semaphore.h>

#include <cstring>
#include <thread>
#include <tuple>

#include "exports/default_camera.h"
#include "sim/sim_camera.h"
#include "sim/star_field.h"
#include "sim_test_support.h"
#include "tarncam/tarncam.h"
#include "tarncam/tarncam_native.h"
#include "tarncam/tarncam_sim.h"

namespace {

constexpr uint32_t kFull8 = 752 * 480;

class SimE2E : public ::testing::Test {
 protected:
  void SetUp() override { opts.scene = TARNCAM_SIM_SCENE_TEST_PATTERN; }
  void TearDown() override {
    if (sys) {
      EXPECT_TRUE(sys->WaitForWorkers(sys->WorkersStarted()));
    }
    tarncam::UsePlatform(nullptr, nullptr);
  }
  // Plugs a fresh simulated camera in and routes the exports to it.
  void Attach() {
    tarncam::UsePlatform(nullptr, nullptr);
    cam = std::make_unique<sim::SimCamera>(opts, clock);
    sys = std::make_unique<sim::SimSystem>(clock);
    tarncam::UsePlatform(cam.get(), sys.get());
  }
  void OpenAndProgram(uint32_t w, uint32_t h, bool ten, uint32_t exposureMs = 10) {
    Attach();
    ASSERT_EQ(::openUSB(0), 1u);
    ::Subframe(w, h);
    ::DynamicRange(ten ? 10 : 8);
    ::ProgramCamera(exposureMs, 0, 0, 0);
  }
  uint64_t Sum(uint64_t tarncam_sim_stats::*field) { return cam->Stats().*field; }

  sim::Options opts = sim::DefaultOptions();
  sim::VirtualClock clock;
  std::unique_ptr<sim::SimCamera> cam;
  std::unique_ptr<sim::SimSystem> sys;
};

// The destination of a w x h exposure holds the test pattern's window: rows
// of w samples, 50 columns in for the 376 and 400 wide windows.
::testing::AssertionResult HoldsPattern(const uint8_t* dest, uint32_t w, uint32_t h, bool ten,
                                        uint32_t rows = ~0u) {
  const uint32_t skip = (w == 376 || w == 400) ? 50 : 0;
  for (uint32_t r = 0; r < std::min(h, rows); ++r)
    for (uint32_t c = 0; c < w; ++c) {
      const size_t i = size_t{r} * w + c;
      const uint32_t got = ten ? uint32_t{dest[2 * i]} | uint32_t{dest[2 * i + 1]} << 8 : dest[i];
      const uint32_t want = sim::TestPatternSample(r, c + skip, ten);
      if (got != want)
        return ::testing::AssertionFailure()
               << "row " << r << " col " << c << ": " << got << " want " << want;
    }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Open, firmware, identification

TEST_F(SimE2E, OpensAProgrammedCameraAndReadsItsIdentity) {
  opts.colour = 1;
  Attach();
  EXPECT_EQ(::checkdevice(0), 1u);
  ASSERT_EQ(::openUSB(0), 1u);
  EXPECT_EQ(::DEBUG(99), 0x0132901Du);
  EXPECT_EQ(::GetVIDPID(), sim::IdWord(opts));
  EXPECT_NE(::GetVIDPID() & TARNCAM_SIM_ID_COLOUR_BIT, 0u);
  EXPECT_EQ(::SendRegister(0x1000D, 0x10300), 0u);
  EXPECT_EQ(cam->Registers().back(), (std::pair<uint16_t, uint16_t>{0x0D, 0x0300}));
  EXPECT_EQ(::CameraReset(), 0u);
  EXPECT_EQ(cam->Resets(), 1u);
  EXPECT_EQ(cam->Stats().firmware_downloads, 0u);
  ::closeUSB();
  EXPECT_EQ(::SendRegister(1, 2), 1u);
}

TEST_F(SimE2E, BlankControllerGetsTheFirmwareAndComesBackProgrammed) {
  opts.blank_controller = 1;
  Attach();
  ASSERT_EQ(::openUSB(0), 1u);
  EXPECT_EQ(cam->Stats().firmware_downloads, 1u);
  EXPECT_EQ(cam->Stats().programmed, 1);
  EXPECT_GE(clock.NowUs(), 5'200'000u) << "two 100 ms waits and the 5 s renumeration wait";
  EXPECT_EQ(::DEBUG(99), 0x0132901Du);
  EXPECT_TRUE(sys->Messages().empty());
}

// Natively a controller that takes longer than the fixed 5 s to come back is
// waited for, bounded (the DLL gives up, as its callers know it).
TEST_F(SimE2E, SlowRenumerationIsWaitedFor) {
  opts.blank_controller = 1;
  opts.renumerate_ms = 8000;
  Attach();
  ASSERT_EQ(::openUSB(0), 1u);
  EXPECT_EQ(cam->Stats().firmware_downloads, 1u);
  EXPECT_GE(clock.NowUs(), 8'000'000u);
  EXPECT_LT(clock.NowUs(), 9'000'000u) << "found within a poll of its return";

  opts.renumerate_ms = 60000;  // beyond the grace: not found, promptly bounded
  Attach();
  EXPECT_EQ(::openUSB(0), 0u);
  EXPECT_EQ(cam->Stats().firmware_downloads, 1u);
}

TEST_F(SimE2E, ControllerThatStaysBlankIsGivenUpAfterTwoDownloads) {
  opts.blank_controller = 1;
  opts.stays_blank = 1;
  Attach();
  EXPECT_EQ(::openUSB(0), 0u);
  EXPECT_EQ(cam->Stats().firmware_downloads, 2u);
  EXPECT_TRUE(sys->Messages().empty());
  EXPECT_EQ(::DEBUG(99), 0xFFFFFFFFu) << "closed";
}

TEST_F(SimE2E, WrongOrMissingFirmwareVersionIsReportedAndClosed) {
  const struct {
    uint32_t version;
    int noAnswer;
    const char* text;
  } cases[] = {{0xDEAD, 0, "Unknown camera detetcted"},
               {7, 0, "Found\t7\n\tExpecting\t20090909 "},
               {0, 1, "Found\t99\n"}};
  for (const auto& c : cases) {
    opts.firmware_version = c.version;
    opts.version_no_answer = c.noAnswer;
    Attach();
    EXPECT_EQ(::openUSB(0), 0u);
    ASSERT_EQ(sys->Messages().size(), 1u);
    EXPECT_NE(sys->Messages()[0].find(c.text), std::string::npos) << sys->Messages()[0];
    EXPECT_EQ(::DEBUG(99), 0xFFFFFFFFu);
  }
}

TEST_F(SimE2E, ControlPipeThatFailsEverythingLooksLikeAnUnansweredVersion) {
  // The descriptor read fails too, which the library takes for a programmed
  // controller; the version query then returns its own code.
  opts.control_fail_probability = 1.0;
  Attach();
  EXPECT_EQ(::openUSB(0), 0u);
  ASSERT_EQ(sys->Messages().size(), 1u);
  EXPECT_NE(sys->Messages()[0].find("Found\t99"), std::string::npos);
}

TEST_F(SimE2E, AbsentCameraIsNotFound) {
  opts.present = 0;
  Attach();
  EXPECT_EQ(::checkdevice(0), 0u);
  EXPECT_EQ(::openUSB(0), 0u);
  EXPECT_TRUE(sys->Messages().empty());
}

// ---------------------------------------------------------------------------
// Frames, byte-exact against the test pattern

using FrameCase = std::tuple<std::pair<uint32_t, uint32_t>, bool /*ten*/, bool /*threaded*/>;

std::string FrameCaseName(const ::testing::TestParamInfo<FrameCase>& info) {
  const auto size = std::get<0>(info.param);
  return std::to_string(size.first) + "x" + std::to_string(size.second) +
         (std::get<1>(info.param) ? "_10bit" : "_8bit") +
         (std::get<2>(info.param) ? "_threaded" : "_inline");
}

class SimFrames : public SimE2E, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(SimFrames, DestinationHoldsTheWindowOfTheTransfer) {
  const auto [size, ten, threaded] = GetParam();
  const auto [w, h] = size;
  OpenAndProgram(w, h, ten);
  const size_t bytes = size_t{w} * h * (ten ? 2 : 1);
  // Exact size plus guard bytes on both sides.
  std::vector<uint8_t> buf(bytes + 64, 0xA5);
  uint8_t* dest = buf.data() + 32;
  if (threaded) {
    sem_t done;
    sem_init(&done, 0, 0);
    ::ExposureSemaphore(&done);
    ASSERT_NE(::ThreadedExposure(dest), ~uintptr_t{0});
    sem_wait(&done);
    ::ExposureSemaphore(nullptr);
    EXPECT_TRUE(sys->WaitForWorkers(1));
    sem_destroy(&done);
  } else {
    ::Exposure(dest);
  }
  EXPECT_EQ(::isExposing(), 0u);
  EXPECT_TRUE(HoldsPattern(dest, w, h, ten));
  for (int i = 0; i < 32; ++i) {
    ASSERT_EQ(buf[i], 0xA5);
    ASSERT_EQ(buf[32 + bytes + i], 0xA5);
  }
  EXPECT_EQ(cam->Stats().reads, 1u);
  EXPECT_EQ(cam->Stats().frames, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, SimFrames,
    ::testing::Combine(::testing::Values(std::pair<uint32_t, uint32_t>{752, 480},
                                         std::pair<uint32_t, uint32_t>{376, 240},
                                         std::pair<uint32_t, uint32_t>{400, 300},
                                         std::pair<uint32_t, uint32_t>{640, 480}),
                       ::testing::Bool(), ::testing::Bool()),
    FrameCaseName);

TEST_F(SimE2E, NullDestinationPacksTheFrameAtTheStartOfTheRawBuffer) {
  OpenAndProgram(400, 300, true);
  ::Exposure(nullptr);
  EXPECT_TRUE(HoldsPattern(::getbufptr(), 400, 300, true));
}

TEST_F(SimE2E, FlipsAndDepthReachTheSensor) {
  OpenAndProgram(752, 480, true, 100);
  ::VerticalFlip(1);
  ::HorizontalFlip(1);
  ::ProgramCamera(100, 100, 0, 0);
  const sim::SensorSettings s = cam->Sensor();
  EXPECT_TRUE(s.VerticalFlip());
  EXPECT_TRUE(s.HorizontalFlip());
  EXPECT_TRUE(s.TenBit());
  EXPECT_EQ(s.gainCode, 111);
  EXPECT_EQ(s.deviceExposureMs, 100u - 26u);
}

// ---------------------------------------------------------------------------
// Guide port

TEST_F(SimE2E, GuideCommandsMoveTheStarField) {
  opts.scene = TARNCAM_SIM_SCENE_STARS;
  opts.guide_rate = 5.0;
  OpenAndProgram(752, 480, false, 150);
  const sim::Star star = cam->Stars()->Stars()[0];
  std::vector<uint8_t> frame(kFull8);
  auto centroid = [&] {
    ::Exposure(frame.data());
    return simtest::Centroid([&](int c, int r) { return double(frame[r * 752 + c]); }, 752, 480,
                             star.x + cam->Stats().guide_offset_x,
                             star.y + cam->Stats().guide_offset_y);
  };
  const auto [x0, y0] = centroid();
  EXPECT_NEAR(x0, star.x, 0.2);
  EXPECT_NEAR(y0, star.y, 0.2);

  // 1000 ms east-ish (+X) and 400 ms -Y: 5 and 2 pixels at 5 px/s.
  EXPECT_EQ(::GuideCommandXY(TARNCAM_SIM_GUIDE_PLUS_X | TARNCAM_SIM_GUIDE_MINUS_Y, 1000, 400), 0u);
  clock.Advance(2'000'000);
  const auto [x1, y1] = centroid();
  EXPECT_NEAR(x1 - x0, 5.0, 0.25);
  EXPECT_NEAR(y1 - y0, -2.0, 0.25);

  // Until cancelled, then stopped on the second axis only.
  EXPECT_EQ(::GuideCommand(TARNCAM_SIM_GUIDE_PLUS_Y, -1), 0u);
  clock.Advance(800'000);
  EXPECT_EQ(::CancelGuide(0, 1), 0u);
  const double yStopped = cam->Stats().guide_offset_y;
  EXPECT_NEAR(yStopped, -2.0 + 4.0, 1e-6);
  const auto [x2, y2] = centroid();
  EXPECT_NEAR(y2 - y0, yStopped, 0.25);
  EXPECT_NEAR(x2 - x0, 5.0, 0.25);
}

// ---------------------------------------------------------------------------
// Cancel and close during an exposure

TEST_F(SimE2E, CancelEndsAThreadedExposureEarly) {
  OpenAndProgram(752, 480, false);
  cam->HoldReads(true);
  sem_t done;
  sem_init(&done, 0, 0);
  ::ExposureSemaphore(&done);
  std::vector<uint8_t> buf(kFull8);
  ASSERT_NE(::ThreadedExposure(buf.data()), ~uintptr_t{0});
  ASSERT_TRUE(cam->WaitForPendingRead());
  EXPECT_EQ(::isExposing(), 1u);
  EXPECT_NE(::CancelExposure(), 0u);
  sem_wait(&done);
  EXPECT_EQ(::isExposing(), 0u);
  EXPECT_TRUE(sys->WaitForWorkers(1));
  EXPECT_EQ(cam->Stats().aborts, 1u);
  EXPECT_EQ(cam->Stats().reads, 1u) << "a short transfer is not retried";
  ::ExposureSemaphore(nullptr);
  sem_destroy(&done);
}

TEST_F(SimE2E, CloseDuringAThreadedExposureAbortsAndTheWorkerEnds) {
  OpenAndProgram(376, 240, true);
  cam->HoldReads(true);
  std::vector<uint8_t> buf(376 * 240 * 2);
  ASSERT_NE(::ThreadedExposure(buf.data()), ~uintptr_t{0});
  ASSERT_TRUE(cam->WaitForPendingRead());
  const uint64_t slept = sys->SleptMs();
  ::closeUSB();
  EXPECT_EQ(::isExposing(), 0u);
  EXPECT_EQ(sys->SleptMs() - slept, 500u);
  EXPECT_TRUE(sys->WaitForWorkers(1));
  EXPECT_EQ(::isExposing(), 0u);
  EXPECT_EQ(cam->Stats().aborts, 1u);
  // The camera is usable again.
  cam->HoldReads(false);
  ASSERT_EQ(::openUSB(0), 1u);
  ::Exposure(buf.data());
  EXPECT_TRUE(HoldsPattern(buf.data(), 376, 240, true));
}

// Natively the close cancels the read a camera that ignores the abort left
// pending, so nothing of that readout outlives the session (the DLL, which
// cannot cancel, waits for it on reopen instead: the Wine end-to-end test).
TEST_F(SimE2E, CloseCancelsTheReadOfACameraThatIgnoredTheAbort) {
  opts.ignore_abort = 1;
  OpenAndProgram(752, 480, false);
  cam->HoldReads(true);
  sem_t done;
  sem_init(&done, 0, 0);
  ::ExposureSemaphore(&done);
  std::vector<uint8_t> first(kFull8, 0xEE), second(kFull8, 0xEE);
  ASSERT_NE(::ThreadedExposure(first.data()), ~uintptr_t{0});
  ASSERT_TRUE(cam->WaitForPendingRead());
  ::closeUSB();  // abort (ignored), 500 ms, then the close cancels the read
  EXPECT_EQ(::isExposing(), 0u);
  EXPECT_EQ(cam->Stats().aborts, 1u);
  ASSERT_TRUE(sys->WaitForWorkers(1));
  EXPECT_EQ(sem_trywait(&done), 0) << "the cancelled readout signals once";
  EXPECT_EQ(cam->Resets(), 0u) << "no retry on a closed device";

  ASSERT_EQ(::openUSB(0), 1u);
  cam->HoldReads(false);
  ::ProgramCamera(10, 0, 0, 0);
  ::Exposure(second.data());
  EXPECT_TRUE(HoldsPattern(second.data(), 752, 480, false));
  EXPECT_EQ(sem_trywait(&done), 0);
  EXPECT_EQ(sem_trywait(&done), -1) << "one signal per readout";
  EXPECT_EQ(cam->Stats().reads, 2u);
  ::ExposureSemaphore(nullptr);
  sem_destroy(&done);
}

TEST_F(SimE2E, GuideCommandsRunDuringAThreadedExposure) {
  opts.guide_rate = 5.0;
  OpenAndProgram(752, 480, false);
  cam->HoldReads(true);
  std::vector<uint8_t> buf(kFull8);
  ASSERT_NE(::ThreadedExposure(buf.data()), ~uintptr_t{0});
  ASSERT_TRUE(cam->WaitForPendingRead());
  EXPECT_EQ(::GuideCommandXY(TARNCAM_SIM_GUIDE_MINUS_X, 200, 0), 0u);
  clock.Advance(500'000);
  EXPECT_EQ(::CancelGuide(1, 1), 0u);
  EXPECT_NEAR(cam->Stats().guide_offset_x, -1.0, 1e-9);
  EXPECT_EQ(::isExposing(), 1u) << "the read is still pending";
  cam->ReleaseRead();
  EXPECT_TRUE(sys->WaitForWorkers(1));
  EXPECT_EQ(::isExposing(), 0u);
  EXPECT_TRUE(HoldsPattern(buf.data(), 752, 480, false));
}

TEST_F(SimE2E, CloseFromAnotherThreadEndsAnInlineExposure) {
  OpenAndProgram(752, 480, false);
  cam->HoldReads(true);
  std::vector<uint8_t> buf(kFull8);
  std::thread shooter([&] { ::Exposure(buf.data()); });
  ASSERT_TRUE(cam->WaitForPendingRead());
  EXPECT_EQ(::isExposing(), 1u);
  ::closeUSB();
  shooter.join();
  EXPECT_EQ(::isExposing(), 0u);
}

TEST_F(SimE2E, ReadPendingPastItsTimeoutIsRetriedAfterAReset) {
  OpenAndProgram(752, 480, false);
  cam->HoldReads(true);
  std::vector<uint8_t> buf(kFull8);
  std::thread shooter([&] { ::Exposure(buf.data()); });
  ASSERT_TRUE(cam->WaitForPendingRead());
  // Nothing answers: once the timeout (the camera's 1 ms plus 1000 ms) has
  // passed, the read fails and the retry's read is released.
  clock.Advance(1'001'000);
  ASSERT_TRUE(cam->WaitForPendingRead(2));
  cam->HoldReads(false);
  cam->ReleaseRead();
  shooter.join();
  EXPECT_EQ(cam->Stats().reads, 2u);
  EXPECT_TRUE(HoldsPattern(buf.data(), 752, 480, false));
}

// ---------------------------------------------------------------------------
// Recovery through the retry path

TEST_F(SimE2E, FailedFirstReadRecoversWithOneResetAndAGoodFrame) {
  opts.fail_read_number = 1;
  OpenAndProgram(400, 300, false);
  const uint64_t programmings = cam->Stats().programmings;
  const uint64_t slept = sys->SleptMs();
  std::vector<uint8_t> buf(400 * 300);
  ::Exposure(buf.data());
  EXPECT_TRUE(HoldsPattern(buf.data(), 400, 300, false));
  EXPECT_EQ(cam->Stats().reads, 2u);
  EXPECT_EQ(cam->Stats().programmings, programmings + 1) << "the forced resend";
  EXPECT_EQ(cam->ControllerByte(tarncam::kCpuControlRegister), 0x30u);
  EXPECT_EQ(sys->SleptMs() - slept, 50u + 3000u + 500u);
  EXPECT_EQ(cam->Sensor().windowHeight, 300) << "settings restored after the restart";
}

TEST_F(SimE2E, TimedOutReadIsRetried) {
  opts.timeout_read_number = 1;
  OpenAndProgram(752, 480, true);
  const uint64_t t0 = clock.NowUs();
  std::vector<uint8_t> buf(kFull8 * 2);
  ::Exposure(buf.data());
  EXPECT_TRUE(HoldsPattern(buf.data(), 752, 480, true));
  EXPECT_EQ(cam->Stats().reads, 2u);
  EXPECT_EQ(cam->PipeTimeoutMs(), 1001u) << "the camera's own 1 ms plus the margin";
  EXPECT_GE(clock.NowUs() - t0, 1'001'000u + 3'550'000u);
}

TEST_F(SimE2E, FiveFailedReadsStillEndTheExposureOnce) {
  opts.fail_read_number = 1;
  opts.fail_read_count = 5;
  OpenAndProgram(752, 480, false);
  sem_t done;
  sem_init(&done, 0, 0);
  ::ExposureSemaphore(&done);
  std::vector<uint8_t> buf(kFull8);
  ASSERT_NE(::ThreadedExposure(buf.data()), ~uintptr_t{0});
  sem_wait(&done);
  EXPECT_TRUE(sys->WaitForWorkers(1));
  EXPECT_EQ(::isExposing(), 0u);
  EXPECT_EQ(sem_trywait(&done), -1) << "released once";
  EXPECT_EQ(cam->Stats().reads, 5u);
  EXPECT_EQ(cam->Stats().frames, 0u);
  ::ExposureSemaphore(nullptr);
  sem_destroy(&done);
}

TEST_F(SimE2E, ShortReadCountsAsAFrame) {
  opts.short_read_number = 1;
  OpenAndProgram(752, 480, false);
  std::vector<uint8_t> buf(kFull8);
  ::Exposure(buf.data());
  EXPECT_EQ(cam->Stats().reads, 1u);
  EXPECT_TRUE(HoldsPattern(buf.data(), 752, 480, false, 240));
}

TEST_F(SimE2E, DisconnectDuringAnExposureEndsItAndTheCameraCanBeReopened) {
  opts.disconnect_read_number = 1;
  OpenAndProgram(752, 480, false);
  std::vector<uint8_t> buf(kFull8);
  ::Exposure(buf.data());
  EXPECT_EQ(::isExposing(), 0u);
  ::closeUSB();
  EXPECT_EQ(::openUSB(0), 0u);
  cam->SetPresent(true);
  ASSERT_EQ(::openUSB(0), 1u);
  ::ProgramCamera(11, 0, 0, 0);
  ::Exposure(buf.data());
  EXPECT_TRUE(HoldsPattern(buf.data(), 752, 480, false));
}

TEST_F(SimE2E, LastFrameTellsWholeShortFailedAndUnconfirmedFramesApart) {
  opts.short_read_number = 2;
  opts.fail_read_number = 3;
  opts.fail_read_count = 5;
  OpenAndProgram(752, 480, false);
  std::vector<uint8_t> buf(kFull8);
  uint32_t got = 0, want = 0;
  ::Exposure(buf.data());
  EXPECT_EQ(tarncam_last_frame(&got, &want), uint32_t{TARNCAM_LAST_FRAME_COMPLETE});
  EXPECT_EQ(got, 382080u);
  EXPECT_EQ(want, 382080u);
  ::Exposure(buf.data());
  EXPECT_EQ(tarncam_last_frame(&got, nullptr), uint32_t{TARNCAM_LAST_FRAME_SHORT});
  EXPECT_EQ(got, 240u * 796);
  // Reads 3 to 7 fail: the resends of the retries go through, so the frame
  // is failed but its settings confirmed.
  ::Exposure(buf.data());
  EXPECT_EQ(tarncam_last_frame(&got, nullptr), uint32_t{TARNCAM_LAST_FRAME_FAILED});
  EXPECT_EQ(got, 0u);
  // A programming the camera never took: the next frame says so.
  ::Subframe(376, 240);
  cam->Shutdown();  // every transfer fails from here on
  ::ProgramCamera(10, 0, 0, 0);
  ::Exposure(buf.data());
  EXPECT_EQ(tarncam_last_frame(nullptr, nullptr),
            uint32_t{TARNCAM_LAST_FRAME_FAILED | TARNCAM_LAST_FRAME_UNCONFIRMED});
  ::closeUSB();
  ::Exposure(buf.data());
  EXPECT_EQ(tarncam_last_frame(nullptr, nullptr), uint32_t{TARNCAM_LAST_FRAME_NONE});
}

// ---------------------------------------------------------------------------
// The C selection interface (real clock: nothing here waits)

TEST(SimApi, AttachRoutesTheExportsAndDetachRestoresTheBuiltinPlatform) {
  tarncam_sim_options o;
  tarncam_sim_default_options(&o);
  EXPECT_EQ(o.struct_size, sizeof o);
  tarncam_sim_options bad = o;
  bad.scene = 9;
  EXPECT_EQ(tarncam_sim_attach(&bad), -1);
  bad = o;
  bad.struct_size = 8;
  EXPECT_EQ(tarncam_sim_attach(&bad), -1);
  EXPECT_EQ(tarncam_sim_attach(nullptr), -1);

  o.colour = 1;
  ASSERT_EQ(tarncam_sim_attach(&o), 0);
  ASSERT_EQ(::openUSB(0), 1u);
  EXPECT_NE(::GetVIDPID() & TARNCAM_SIM_ID_COLOUR_BIT, 0u);
  tarncam_sim_stats st;
  ASSERT_EQ(tarncam_sim_get_stats(&st), 0);
  EXPECT_GE(st.control_transfers, 5u);
  EXPECT_EQ(st.present, 1);
  ::closeUSB();
  EXPECT_EQ(tarncam_sim_set_present(0), 0);
  EXPECT_EQ(::checkdevice(0), 0u);
  EXPECT_EQ(tarncam_sim_set_present(1), 0);
  EXPECT_EQ(::checkdevice(0), 1u);

  tarncam_sim_detach();
  EXPECT_EQ(::checkdevice(0), 0u);
  EXPECT_EQ(tarncam_sim_get_stats(&st), -1);
  EXPECT_EQ(tarncam_sim_set_present(1), -1);
  tarncam_sim_detach();  // twice is harmless
  EXPECT_EQ(tarncam_sim_test_pattern(3, 700, 1), sim::TestPatternSample(3, 700, true));
}

}  // namespace
