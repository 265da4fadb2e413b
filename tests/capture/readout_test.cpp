// The frame readout: what lands in the destination and the raw buffer,
// byte for byte, and the conversation of its retries.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "capture/exposure.h"
#include "capture/frame_outcome.h"
#include "capture/readout.h"
#include "fakes/test_helpers.h"
#include "sensor/register_block.h"
#include "sensor/settings.h"
#include "usb/device.h"
#include "usb/requests.h"

namespace tarncam::testing {
namespace {

// The byte at offset i of a transfer.
uint8_t WireByte(uint32_t i) { return static_cast<uint8_t>(i * 7 + i / 1000 * 13 + 5); }

void FillWire(uint8_t* buffer, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) buffer[i] = WireByte(i);
}

// An exposure through the core, claimed and then read on the caller's thread
// (or a worker's); returns what the readout returns, 0 when refused.
uint32_t Expose(FakeCamera& f, uint8_t* dest, ExposureThread thread = ExposureThread::kCaller) {
  if (!ClaimExposure(*f.state)) return 0;
  return static_cast<uint32_t>(RunClaimedExposure(f.cam, dest, thread));
}

// Programs a window and depth on an open camera whose reads deliver the
// wire pattern.
void ProgramWindow(FakeCamera& f, uint16_t w, uint16_t h, uint32_t depth) {
  StoreWindow(*f.state, w, h);
  StoreSampleDepth(*f.state, depth);
  OpenFresh(f);
  ProgramSettings(f.cam, 50, 50, 0, 0);
  f.fake.frameSource = FillWire;
  f.fake.ClearLog();
}

// What the destination must hold: rows of `w` samples cut from rows of
// `pitch` samples, 50 in for widths 376 and 400, 10-bit pairs repacked.
// Beyond the transfer the raw buffer still holds zeros.
std::vector<uint8_t> Expected(uint32_t w, uint32_t h, uint32_t pitch, bool wide) {
  const uint32_t bps = wide ? 2 : 1;
  const uint32_t transfer = pitch * h * bps;
  auto wire = [&](uint32_t at) -> uint32_t { return at < transfer ? WireByte(at) : 0; };
  const uint32_t skip = (w == 376 || w == 400) ? 50 : 0;
  std::vector<uint8_t> out;
  for (uint32_t r = 0; r < h; ++r) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t at = (r * pitch + skip + x) * bps;
      if (!wide) {
        out.push_back(static_cast<uint8_t>(wire(at)));
      } else {
        const uint32_t v = wire(at) << 2 | (wire(at + 1) & 3);
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
      }
    }
  }
  return out;
}

TEST(ReadFrame, WindowsIntoACallersBufferAreByteExact) {
  struct Case {
    uint16_t w, h;
  };
  for (const Case c : {Case{752, 480}, Case{376, 240}, Case{400, 300}, Case{377, 240},
                       Case{640, 480}, Case{1, 1}, Case{752, 479}}) {
    for (uint32_t depth : {8u, 10u}) {
      FakeCamera f;
      ProgramWindow(f, c.w, c.h, depth);
      const bool wide = depth != 8;
      const std::vector<uint8_t> want = Expected(c.w, c.h, f.state->rowPitch, wide);
      // Guard bytes either side of an exact-size destination.
      std::vector<uint8_t> dest(want.size() + 64, 0xEE);
      Expose(f, dest.data() + 32);
      ASSERT_TRUE(std::equal(want.begin(), want.end(), dest.begin() + 32))
          << c.w << "x" << c.h << " depth " << depth;
      for (int i = 0; i < 32; ++i) {
        ASSERT_EQ(dest[i], 0xEE);
        ASSERT_EQ(dest[dest.size() - 1 - i], 0xEE);
      }
      // The raw buffer keeps the transfer as received.
      const uint32_t transfer = f.state->readLength * (wide ? 2 : 1);
      for (uint32_t i = 0; i < transfer; ++i) ASSERT_EQ(f.state->rawBuffer[i], WireByte(i)) << i;
      const auto reads = f.fake.Log(Op::kReadPipe);
      ASSERT_EQ(reads.size(), 1u);
      EXPECT_EQ(reads[0].length, transfer);
      EXPECT_EQ(reads[0].pipe, 0x82);
      EXPECT_EQ(f.state->exposing.load(), 0u);
    }
  }
  // The full-frame sizes.
  FakeCamera f;
  ProgramWindow(f, 752, 480, 8);
  EXPECT_EQ(f.state->readLength, 382080u);
}

TEST(ReadFrame, NullDestinationCompactsIntoTheRawBuffer) {
  for (auto [w, h] : {std::pair<uint16_t, uint16_t>{752, 480}, {376, 240}, {752, 479}, {700, 100}}) {
    for (uint32_t depth : {8u, 10u}) {
      FakeCamera f;
      ProgramWindow(f, w, h, depth);
      const bool wide = depth != 8;
      const std::vector<uint8_t> want = Expected(w, h, f.state->rowPitch, wide);
      // Rows wider than the pitch (752 x 479 reads rows of 660) run on into
      // the next row and read what earlier row copies left: model it with the
      // same sequence of overlapping moves on a plain copy of the transfer.
      std::vector<uint8_t> model(kFrameBufferEntries, 0);
      FillWire(model.data(), f.state->readLength * (wide ? 2 : 1));
      const uint32_t bps = wide ? 2 : 1, skip = (w == 376 || w == 400) ? 50 * bps : 0;
      for (uint32_t r = 0; r < h; ++r)
        std::memmove(&model[r * w * bps], &model[skip + r * f.state->rowPitch * bps], w * bps);
      if (wide) Repack10(model.data(), std::size_t{w} * h);

      Expose(f, nullptr);
      ASSERT_TRUE(std::equal(model.begin(), model.end(), f.state->rawBuffer.begin()))
          << w << "x" << h << " depth " << depth;
      if (w <= 660 || h == 480) {
        ASSERT_TRUE(std::equal(want.begin(), want.end(), f.state->rawBuffer.begin()))
            << w << "x" << h;
      }
      EXPECT_EQ(f.state->frameDest, f.state->rawBuffer.data() + want.size());
    }
  }
}

TEST(Repack10, WirePairsBecomePlainValues) {
  uint8_t pairs[] = {0xFF, 0x03, 0x80, 0x00, 0x01, 0x02, 0x00, 0xFC, 0x12, 0xFF};
  Repack10(pairs, 5);
  const uint16_t want[] = {1023, 512, 6, 0, 0x48 | 3};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(pairs[2 * i] | pairs[2 * i + 1] << 8, want[i]) << i;
}

TEST(ReadFrame, FirstReadFailsThenOneResetAndASecondRead) {
  FakeCamera f;
  ProgramWindow(f, 752, 480, 8);
  f.fake.readResults = {false, true};
  std::vector<uint8_t> dest(360960);
  Expose(f, dest.data());

  const auto log = f.fake.Log();
  std::vector<std::string> trace;
  for (const Event& e : log) {
    if (e.op == Op::kSetTimeout) trace.push_back("timeout " + std::to_string(e.value));
    else if (e.op == Op::kReadPipe) trace.push_back(e.ok ? "read ok" : "read failed");
    else if (e.op == Op::kSleep) trace.push_back("sleep " + std::to_string(e.value));
    else if (IsControl(e, kVendorOut, kReqFirmwareLoad))
      trace.push_back("cpu " + std::to_string(e.data[0]) + "@" + std::to_string(e.setup.value));
    else if (IsControl(e, kVendorOut, kReqProgram)) trace.push_back("program");
  }
  EXPECT_EQ(trace, (std::vector<std::string>{"timeout 1034", "read failed", "cpu 49@58880",
                                             "sleep 50", "cpu 48@58880", "sleep 3000", "program",
                                             "sleep 500", "timeout 1034", "read ok"}));
  EXPECT_EQ(dest, Expected(752, 480, 796, false));
}

// Regression (soak): a close that came between the restart's hold and run
// writes left the camera's CPU held for good (the run write was not sent on
// a closed device), and no later open could use the camera.
TEST(ReadFrame, ARestartBegunIsFinishedWhenTheDeviceIsClosedMeanwhile) {
  FakeCamera f;
  ProgramWindow(f, 752, 480, 8);
  f.fake.readResults = {false};
  bool closed = false;
  f.fake.onControl = [&](const SetupPacket& s, uint8_t* data, uint32_t) -> std::optional<bool> {
    if (!closed && s.request == kReqFirmwareLoad && data[0] == 0x31) {
      closed = true;
      CloseCamera(f.cam);  // on the readout's thread, right after the hold
    }
    return std::nullopt;
  };
  std::vector<uint8_t> dest(360960);
  Expose(f, dest.data(), ExposureThread::kWorker);
  ASSERT_TRUE(f.fake.WaitForWorkers(1));
  std::vector<int> cpu;
  for (const Event& e : f.fake.Controls())
    if (IsControl(e, kVendorOut, kReqFirmwareLoad)) cpu.push_back(e.data[0]);
  EXPECT_EQ(cpu, (std::vector<int>{0x31, 0x30}));
  EXPECT_EQ(f.fake.Log(Op::kReadPipe).size(), 1u) << "no read after the close";
  EXPECT_EQ(f.state->forceResend, 1u) << "the settings are still due";
  EXPECT_EQ(f.fake.misuse(), 0);
  EXPECT_EQ(f.fake.liveDevices() + f.fake.liveInterfaces(), 0);
}

TEST(ReadFrame, FiveFailedReadsDeliverTheBufferAndSignalOnce) {
  FakeCamera f;
  ProgramWindow(f, 752, 480, 8);
  f.state->rawBuffer.fill(0x5A);  // the previous frame
  f.fake.readResults = {false, false, false, false, false, true};
  f.state->doneSemaphore.store(0x99);
  std::vector<uint8_t> dest(360960, 0);
  EXPECT_EQ(Expose(f, dest.data()), 1u);
  EXPECT_EQ(f.fake.Log(Op::kReadPipe).size(), 5u);
  int resets = 0;
  for (const Event& e : f.fake.Controls())
    if (IsControl(e, kVendorOut, kReqFirmwareLoad) && e.data[0] == 0x31) ++resets;
  EXPECT_EQ(resets, 4);
  EXPECT_EQ(dest, std::vector<uint8_t>(360960, 0x5A));
  EXPECT_EQ(f.fake.semaphoreReleases(), 1);
  EXPECT_EQ(f.fake.Log(Op::kSignalSemaphore).at(0).handle, 0x99u);
  EXPECT_EQ(f.state->exposing.load(), 0u);
}

// A read that failed because the camera left the bus: the DLL's readout
// retries it through four resets, as its callers know; natively it ends at
// once, since no reset reaches a camera that is gone. Either way the
// exposure ends once, with the semaphore released.
TEST(ReadFrame, ACameraThatLeftTheBusIsRetriedOnlyWhereThePlatformSaysSo) {
  for (const bool retry : {true, false}) {
    SCOPED_TRACE(retry ? "retrying platform" : "native platform");
    FakeCamera f;
    f.platform.retryLostDevice = retry;
    ProgramWindow(f, 376, 240, 8);
    f.fake.readResults = {false, false, false, false, false};
    f.fake.readFailure = UsbResult::Fail(UsbStatus::kNoDevice);
    f.fake.ClearLog();
    f.state->doneSemaphore.store(0x99);
    std::vector<uint8_t> dest(376 * 240);
    Expose(f, dest.data());
    EXPECT_EQ(f.fake.Log(Op::kReadPipe).size(), retry ? 5u : 1u);
    EXPECT_EQ(f.fake.SleepsMs().empty(), !retry) << "no reset waits for a camera that is gone";
    EXPECT_EQ(f.fake.semaphoreReleases(), 1);
    EXPECT_EQ(f.state->exposing.load(), 0u);
  }
}

TEST(ReadFrame, TimeoutFollowsTheExposureLastSent) {
  FakeCamera f;
  ProgramWindow(f, 752, 480, 8);
  ProgramSettings(f.cam, 100000, 50, 0, 0);  // deviceExposure 99,984
  f.fake.ClearLog();
  Expose(f, nullptr);
  const auto p = f.fake.Log(Op::kSetTimeout);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].pipe, 0x82);
  EXPECT_EQ(p[0].value, 100984u);
}

TEST(ReadFrame, ZeroRowsCopiesNothingButStillEnds) {
  FakeCamera f;
  ProgramWindow(f, 752, 0, 10);
  f.state->doneSemaphore.store(7);
  uint8_t dest[4] = {1, 2, 3, 4};
  Expose(f, dest);
  EXPECT_EQ(dest[0], 1);
  EXPECT_EQ(dest[3], 4);
  EXPECT_EQ(f.state->exposing.load(), 0u);
  EXPECT_EQ(f.fake.semaphoreReleases(), 1);
}

TEST(ReadFrame, NoDeviceEndsAtOnceTouchingNothing) {
  FakeCamera f;
  f.state->doneSemaphore.store(7);
  f.state->wideValid = 1;
  uint8_t dest[4] = {1, 2, 3, 4};
  f.state->exposing = 1;
  f.state->frameDest = dest;
  EXPECT_EQ(ReadFrame(f.cam), 0u);
  EXPECT_EQ(f.state->exposing.load(), 0u);
  EXPECT_EQ(f.state->wideValid.load(), 0u);
  EXPECT_EQ(f.state->frameDest, dest);
  EXPECT_EQ(dest[0], 1);
  EXPECT_TRUE(f.fake.Log().empty());
  EXPECT_EQ(f.fake.semaphoreReleases(), 0);
}

TEST(ReadFrame, ClearsWideValidAndReturnsTheReleaseFlag) {
  FakeCamera f;
  ProgramWindow(f, 752, 480, 8);
  f.state->wideValid = 1;
  EXPECT_EQ(Expose(f, nullptr), 0u);  // no semaphore registered
  EXPECT_EQ(f.state->wideValid.load(), 0u);
  EXPECT_TRUE(f.fake.Log(Op::kSignalSemaphore).empty());
}

// One verdict on every way a readout ends, read by both front ends: the
// exports' number (tarncam_last_frame), whether the frame is this
// exposure's (the camera API's outcome), and what to blame when it is not.
TEST(JudgeFrame, EveryWayAReadoutEndsHasOneVerdict) {
  auto s = std::make_unique<CameraState>();
  const UsbStatus kOk = UsbStatus::kOk, kRead = UsbStatus::kTimeout, kResend = UsbStatus::kIo;
  const struct {
    const char* what;
    bool open, delivered;
    uint32_t received;
    Switch pending;
    uint32_t code;
    bool thisExposure;
    UsbStatus cause;
  } cases[] = {
      {"no device", false, false, 0, 0, kFrameNone, false, kRead},
      {"whole", true, true, 1000, 0, kFrameComplete, true, kOk},
      {"short", true, true, 999, 0, kFrameShort, true, kOk},
      {"every read failed", true, false, 0, 0, kFrameFailed, false, kRead},
      {"whole, settings unconfirmed", true, true, 1000, 1, kFrameComplete | kFrameUnconfirmed,
       false, kResend},
      {"short, settings unconfirmed", true, true, 10, 1, kFrameShort | kFrameUnconfirmed, false,
       kResend},
      {"failed, settings unconfirmed", true, false, 0, 1, kFrameFailed | kFrameUnconfirmed, false,
       kRead},
  };
  for (const auto& c : cases) {
    FrameReport r;
    r.deviceOpen = c.open;
    r.delivered = c.delivered;
    r.transferBytes = 1000;
    r.bytesReceived = c.received;
    r.lastRead = c.delivered ? UsbResult::Ok() : UsbResult::Fail(kRead);
    r.lastResend = UsbResult::Fail(kResend);
    s->forceResend = c.pending;
    const FrameVerdict v = JudgeFrame(r, *s);
    EXPECT_EQ(v.Code(), c.code) << c.what;
    EXPECT_EQ(v.Delivered(), c.thisExposure) << c.what;
    EXPECT_EQ(v.cause.status, c.cause) << c.what;
  }
}

}  // namespace
}  // namespace tarncam::testing
