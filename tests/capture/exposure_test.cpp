// Exposures inline and on the worker: one at a time, one signal each, and a
// worker abandoned by closeUSB that never touches released handles.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "capture/exposure.h"
#include "capture/readout.h"
#include "fakes/test_helpers.h"
#include "guide/guide.h"
#include "sensor/register_block.h"
#include "sensor/settings.h"
#include "usb/requests.h"

namespace tarncam::testing {
namespace {

// Holds reads inside the fake until opened.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  int entered = 0;
  bool open = false;
  void Enter() {
    std::unique_lock l(m);
    ++entered;
    cv.notify_all();
    cv.wait(l, [&] { return open; });
  }
  void WaitEntered(int n = 1) {
    std::unique_lock l(m);
    cv.wait(l, [&] { return entered >= n; });
  }
  void Open() {
    std::lock_guard l(m);
    open = true;
    cv.notify_all();
  }
};

void Ready(FakeCamera& f) {
  OpenFresh(f);
  exports::ProgramCamera(f.cam, 50, 50, 0, 0);
  f.fake.ClearLog();
}

TEST(ThreadedExposure, RunsTheReadoutOnADetachedWorker) {
  FakeCamera f;
  Ready(f);
  exports::ExposureSemaphore(*f.state, 42);
  std::vector<uint8_t> dest(360960);
  f.fake.frameSource = [](uint8_t* b, uint32_t n) { std::memset(b, 0x77, n); };
  const std::uintptr_t h = exports::ThreadedExposure(f.cam, dest.data());
  EXPECT_NE(h, SystemServices::kThreadStartFailed);
  ASSERT_TRUE(f.fake.WaitForWorkers(1));
  EXPECT_EQ(exports::isExposing(*f.state), 0u);
  EXPECT_EQ(dest, std::vector<uint8_t>(360960, 0x77));
  EXPECT_EQ(f.fake.semaphoreReleases(), 1);
  const auto start = f.fake.Log(Op::kStartWorker);
  ASSERT_EQ(start.size(), 1u);
  EXPECT_EQ(start[0].value, 1024u);  // requested stack size
}

TEST(ThreadedExposure, SecondStartIsRefusedWhileTheWorkerRuns) {
  FakeCamera f;
  Ready(f);
  Gate gate;
  f.fake.onRead = [&] { gate.Enter(); };
  std::vector<uint8_t> first(360960), second(360960, 0xCD);
  exports::ThreadedExposure(f.cam, first.data());
  gate.WaitEntered();
  EXPECT_EQ(exports::isExposing(*f.state), 1u);
  exports::ThreadedExposure(f.cam, second.data());
  exports::Exposure(f.cam, second.data());
  EXPECT_EQ(f.state->frameDest, first.data());
  EXPECT_EQ(f.fake.workersStarted(), 1);
  gate.Open();
  ASSERT_TRUE(f.fake.WaitForWorkers(1));
  EXPECT_EQ(second, std::vector<uint8_t>(360960, 0xCD));
  EXPECT_EQ(f.fake.Log(Op::kReadPipe).size(), 1u);
}

TEST(Exposure, RacingStartsAreNeverBothAccepted) {
  FakeCamera f;
  Ready(f);
  Gate gate;
  f.fake.onRead = [&] { gate.Enter(); };
  std::atomic<bool> go{false};
  std::vector<uint8_t> a(360960), b(360960);
  std::thread t1([&] { while (!go) {} exports::ThreadedExposure(f.cam, a.data()); });
  std::thread t2([&] { while (!go) {} exports::ThreadedExposure(f.cam, b.data()); });
  go = true;
  t1.join();
  t2.join();
  EXPECT_EQ(f.fake.workersStarted(), 1);
  gate.Open();
  ASSERT_TRUE(f.fake.WaitForWorkers(1));
}

TEST(Exposure, IsExposingReadsOneDuringAnInlineExposure) {
  FakeCamera f;
  Ready(f);
  Gate gate;
  f.fake.onRead = [&] { gate.Enter(); };
  std::thread t([&] { exports::Exposure(f.cam, nullptr); });
  gate.WaitEntered();
  EXPECT_EQ(exports::isExposing(*f.state), 1u);
  gate.Open();
  t.join();
  EXPECT_EQ(exports::isExposing(*f.state), 0u);
}

TEST(ThreadedExposure, FailedWorkerStartClearsTheFlag) {
  FakeCamera f;
  Ready(f);
  f.fake.startFails = true;
  exports::ExposureSemaphore(*f.state, 1);
  EXPECT_EQ(exports::ThreadedExposure(f.cam, nullptr), SystemServices::kThreadStartFailed);
  EXPECT_EQ(exports::isExposing(*f.state), 0u);
  EXPECT_EQ(f.fake.semaphoreReleases(), 0);
}

TEST(ThreadedExposure, NoDeviceWorkerEndsWithoutFrameOrSignal) {
  FakeCamera f;
  exports::ExposureSemaphore(*f.state, 1);
  uint8_t dest[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_NE(exports::ThreadedExposure(f.cam, dest), SystemServices::kThreadStartFailed);
  ASSERT_TRUE(f.fake.WaitForWorkers(1));
  EXPECT_EQ(exports::isExposing(*f.state), 0u);
  EXPECT_EQ(dest[0], 9);
  EXPECT_EQ(f.fake.semaphoreReleases(), 0);
}

// Regression (soak): a closeUSB that came before the worker's first read
// left the worker with no device, and it ended without the release its
// caller was waiting for.
TEST(CloseUsb, BeforeTheWorkerStartsStillEndsTheExposureWithOneRelease) {
  FakeCamera f;
  Ready(f);
  exports::ExposureSemaphore(*f.state, 6);
  uint8_t dest[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  // What ThreadedExposure leaves for its worker with a device open (the
  // worker itself kept out: the test runs its readout after the close).
  f.fake.startFails = true;
  RunClaimedExposure(f.cam, dest, ExposureThread::kWorker);
  f.state->exposing.store(1);
  exports::closeUSB(f.cam);
  f.fake.ClearLog();
  ReadFrame(f.cam);
  EXPECT_EQ(exports::isExposing(*f.state), 0u);
  EXPECT_EQ(f.fake.semaphoreReleases(), 1);
  EXPECT_EQ(dest[0], 9);
  EXPECT_EQ(f.fake.Log().size(), 1u) << "the release, and no transfer";
  EXPECT_EQ(f.state->lastFrameOutcome.load(), kFrameNone);
}

TEST(Exposure, OneReleasePerExposureAndNoneAfterUnregistering) {
  FakeCamera f;
  Ready(f);
  exports::ExposureSemaphore(*f.state, 5);
  for (int i = 0; i < 3; ++i) exports::Exposure(f.cam, nullptr);
  for (int i = 0; i < 2; ++i) {
    exports::ThreadedExposure(f.cam, nullptr);
    ASSERT_TRUE(f.fake.WaitForWorkers(i + 1));
  }
  EXPECT_EQ(f.fake.semaphoreReleases(), 5);
  EXPECT_EQ(exports::ExposureSemaphore(*f.state, 0), 0u);
  exports::Exposure(f.cam, nullptr);
  EXPECT_EQ(f.fake.semaphoreReleases(), 5);
}

TEST(CloseUsb, DuringABlockedWorkerReadNeverUsesReleasedHandles) {
  FakeCamera f;
  Ready(f);
  exports::ExposureSemaphore(*f.state, 3);
  Gate gate;
  f.fake.onRead = [&] { gate.Enter(); };
  f.fake.readResults = {false};  // the aborted read fails
  std::vector<uint8_t> dest(360960);
  exports::ThreadedExposure(f.cam, dest.data());
  gate.WaitEntered();

  exports::closeUSB(f.cam);
  EXPECT_EQ(exports::isExposing(*f.state), 0u);
  EXPECT_FALSE(f.state->DeviceOpen());
  EXPECT_EQ(f.fake.Log(Op::kWritePipe).size(), 1u);  // the abort byte
  // The handles the read is using are still alive.
  EXPECT_EQ(f.fake.liveInterfaces(), 1);

  gate.Open();
  ASSERT_TRUE(f.fake.WaitForWorkers(1));
  // The read ended; the device was gone, so no controller resets followed,
  // and the worker released the handles it held.
  EXPECT_EQ(f.fake.Log(Op::kReadPipe).size(), 1u);
  for (const Event& e : f.fake.Controls()) EXPECT_NE(e.setup.request, kReqFirmwareLoad);
  EXPECT_EQ(f.fake.liveDevices(), 0);
  EXPECT_EQ(f.fake.liveInterfaces(), 0);
  EXPECT_EQ(f.fake.misuse(), 0);
  EXPECT_EQ(exports::isExposing(*f.state), 0u);
  EXPECT_EQ(f.fake.semaphoreReleases(), 1);
}

TEST(CloseUsb, AReadoutThatOutlivesTheReopenWaitKeepsTheCameraClosedUntilItEnds) {
  FakeCamera f;
  Ready(f);
  exports::ExposureSemaphore(*f.state, 3);
  Gate gate;  // a read that ignores its timeout: only the gate ends it
  f.fake.onRead = [&] { gate.Enter(); };
  f.fake.frameSource = [](uint8_t* b, uint32_t n) { std::memset(b, 0x11, n); };
  std::vector<uint8_t> first(360960, 0), second(360960, 0);
  exports::ThreadedExposure(f.cam, first.data());
  gate.WaitEntered();
  exports::closeUSB(f.cam);

  // The reopen waits for the abandoned readout as long as it can still run;
  // past that the camera stays closed, silently, rather than share it.
  uint32_t opened = 9;
  std::thread opener([&] { opened = exports::openUSB(f.cam); });
  ASSERT_TRUE(f.fake.WaitForFlagWaiters(1));
  const uint32_t bound = AbandonedReadoutWaitMs(*f.state);
  EXPECT_EQ(bound, 34u + 1000u + 3050u + 1000u);  // the camera's 34 ms and the margins
  f.fake.AdvanceClock(bound);
  opener.join();
  EXPECT_EQ(opened, 0u);
  EXPECT_FALSE(f.state->DeviceOpen());
  EXPECT_TRUE(f.fake.Log(Op::kOpen).empty());
  EXPECT_TRUE(f.fake.Log(Op::kShowMessage).empty());

  gate.Open();
  ASSERT_TRUE(f.fake.WaitForWorkers(1));
  EXPECT_EQ(first, std::vector<uint8_t>(360960, 0x11));
  // Now nothing is left to wait for, and the next exposure is its own.
  ASSERT_EQ(exports::openUSB(f.cam), 1u);
  f.fake.frameSource = [](uint8_t* b, uint32_t n) { std::memset(b, 0x22, n); };
  exports::Exposure(f.cam, second.data());
  EXPECT_EQ(second, std::vector<uint8_t>(360960, 0x22));
  EXPECT_EQ(first, std::vector<uint8_t>(360960, 0x11));
  EXPECT_EQ(f.fake.semaphoreReleases(), 2);
  EXPECT_EQ(f.fake.Log(Op::kWaitForZero).size(), 1u);
  EXPECT_EQ(f.fake.misuse(), 0);
}

TEST(Stress, ManyThreadedExposuresWithFailuresAndGuiding) {
  FakeCamera f;
  Ready(f);
  exports::ExposureSemaphore(*f.state, 11);
  std::mt19937 rng(2024);
  for (int i = 0; i < 400; ++i) f.fake.readResults.push_back(rng() % 4 != 0);
  f.fake.frameSource = [](uint8_t* b, uint32_t n) { std::memset(b, 0x3C, n); };

  std::atomic<bool> done{false};
  std::thread guider([&] {
    int n = 0;
    while (!done.load()) {
      exports::GuideCommandXY(f.cam, n & 15, n, -1);
      exports::CancelGuide(f.cam, n & 1, n & 2);
      exports::isExposing(*f.state);
      ++n;
    }
  });
  std::vector<uint8_t> dest(360960);
  constexpr int kExposures = 60;
  for (int i = 0; i < kExposures; ++i) {
    ASSERT_NE(exports::ThreadedExposure(f.cam, i % 2 ? dest.data() : nullptr),
              SystemServices::kThreadStartFailed);
    ASSERT_TRUE(f.fake.WaitForWorkers(i + 1));
    ASSERT_EQ(exports::isExposing(*f.state), 0u);
  }
  done = true;
  guider.join();
  EXPECT_EQ(f.fake.semaphoreReleases(), kExposures);
  EXPECT_EQ(f.fake.misuse(), 0);
}

}  // namespace
}  // namespace tarncam::testing
