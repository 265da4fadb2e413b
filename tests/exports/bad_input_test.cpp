// Every public entry point given out-of-range or hostile values, through the
// exported symbols: each answers with a defined result (see
// docs/bad-input.md, whose rows point here and to the unit tests).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "exports/default_camera.h"
#include "sim/sim_camera.h"
#include "tarncam/tarncam.h"
#include "tarncam/tarncam_native.h"
#include "tarncam/tarncam_sim.h"

namespace {

constexpr uint32_t kAll = 0xFFFFFFFF;

// With no device open every export that needs the camera sends nothing and
// returns its no-device result, whatever its arguments.
TEST(BadInput, NoDeviceAnswersEveryExportWithItsNoDeviceResult) {
  EXPECT_EQ(::DEBUG(kAll), 0xFFFFFFFFu);
  EXPECT_EQ(::GetVIDPID(), 0u);
  EXPECT_EQ(::SendRegister(kAll, kAll), 1u);
  EXPECT_EQ(::CameraReset(), 1u);
  EXPECT_EQ(::GuideCommandXY(kAll, INT32_MIN, INT32_MAX), 1u);
  EXPECT_EQ(::GuideCommand(kAll, INT32_MIN), 1u);
  EXPECT_EQ(::CancelGuide(kAll, kAll), 1u);
  EXPECT_EQ(::ProgramCamera(kAll, kAll, kAll, kAll), 1u);
  EXPECT_EQ(::checkdevice(kAll), 0u);
  EXPECT_EQ(::openUSB(kAll), 0u);
  ::OpenDevice();
  EXPECT_EQ(::CancelExposure(), 0u);
  ::closeUSB();
  ::closeUSB();
  // An exposure with no device ends at once, writing nothing, releasing
  // nothing, and says so.
  uint8_t dest[4] = {7, 7, 7, 7};
  ::Exposure(dest);
  EXPECT_NE(::ThreadedExposure(dest), ~uintptr_t{0});
  for (int i = 0; i < 2000 && ::isExposing() != 0; ++i) ::usleep(1000);
  EXPECT_EQ(::isExposing(), 0u);
  EXPECT_EQ(dest[0], 7);
  EXPECT_EQ(tarncam_last_frame(nullptr, nullptr), uint32_t{TARNCAM_LAST_FRAME_NONE});
}

// Settings and output words far out of range: stored, limited or refused as
// documented, never an error.
TEST(BadInput, SettingWordsOutOfRangeAreLimitedOrIgnored) {
  const tarncam::CameraState& s = tarncam::DefaultCamera().state;
  ::Subframe(kAll, kAll);
  EXPECT_EQ(s.width, 752);
  EXPECT_EQ(s.height, 480);
  ::Subframe(0x10000, 0x10000);  // low 16 bits: an empty window
  EXPECT_EQ(s.width, 0);
  EXPECT_EQ(s.height, 0);
  ::DynamicRange(kAll);
  EXPECT_EQ(s.dynamicRange, 9);
  EXPECT_EQ(::ADCRef(3), 3u);
  ::ADCRef(kAll);
  EXPECT_EQ(s.adcRef, 3u);
  ::SETBUFFERMODE(kAll);
  EXPECT_EQ(s.bufferMode, 5u);
  EXPECT_EQ(::SetDigitalGain(kAll), kAll);
  EXPECT_EQ(::VerticalFlip(kAll), kAll);
  EXPECT_EQ(::ExposureSemaphore(nullptr), nullptr);
  EXPECT_NE(::CopyRight(), nullptr);
  EXPECT_EQ(std::strlen(::CopyRight()), 58u);
}

// The image calls at their edges: null pointers where nothing is written,
// lengths and sizes beyond every buffer, degenerate mosaics. Destinations are
// exactly as large as the documented rule says, so AddressSanitizer sees any
// byte written beyond.
TEST(BadInput, ImageCallsAtTheirEdgesStayInsideTheirBuffers) {
  EXPECT_EQ(::GETBUFFER(nullptr, kAll), 0u);
  for (uint32_t mode : {0u, 1u, 2u, 3u, 4u, 5u}) {
    ::SETBUFFERMODE(mode);
    const std::size_t clamped[] = {1568000, 784000, 3 * 784000, 6 * 784000, 3 * 752 * 479,
                                   2 * 784000};
    auto dest = std::make_unique<uint8_t[]>(clamped[mode]);
    ::GETBUFFER(dest.get(), kAll);
  }
  EXPECT_EQ(::bufferCopy(nullptr, nullptr, 0), nullptr);

  uint8_t src[4] = {1, 2, 3, 4};
  uint16_t wide[4] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  uint8_t out[1];
  uint16_t out16[1];
  EXPECT_EQ(::debayerImage(src, nullptr, 4, 0), 0u) << "H = 0: no row, nothing written";
  EXPECT_EQ(::debayerImage(src, nullptr, 3, 1), 0u);
  EXPECT_EQ(::debayerImageFITBYTE(src, nullptr, 0, kAll), kAll - 1) << "W = 0: nothing written";
  EXPECT_EQ(::debayerImageW(wide, out, 0, 2), 1u);
  EXPECT_EQ(::debayerImageFITWORD(wide, out16, 0, 0), 0u);
  // 16-bit samples far above 10 bits saturate; their green sum does not wrap.
  std::vector<uint8_t> rgb(3);
  EXPECT_EQ(::debayerImageW(wide, rgb.data(), 1, 2), 1u);
  EXPECT_EQ(rgb, (std::vector<uint8_t>{255, 255, 255}));
  // debayerBuffer never reads past the raw buffer: a mosaic larger than it
  // keeps only the rows it holds, here none.
  ::debayerBuffer(nullptr, kAll, kAll);
  std::vector<uint8_t> top(3 * 1000 * (783 - 1));
  ::debayerBuffer(top.data(), 1000, kAll);
}

TEST(BadInput, NativeAndSimulatorCallsTakeNullsAndRefuseBadOptions) {
  tarncam_read_counters(nullptr, nullptr);
  EXPECT_EQ(tarncam_last_frame(nullptr, nullptr), uint32_t{TARNCAM_LAST_FRAME_NONE});
  EXPECT_NE(tarncam_device_path(), nullptr);

  // USB: a null list only counts, whatever capacity comes with it (the
  // largest once threw out of the C function); text that does not parse
  // changes nothing.
  EXPECT_EQ(tarncam_usb_list(nullptr, 4), tarncam_usb_list(nullptr, 0));
  EXPECT_EQ(tarncam_usb_list(nullptr, UINT32_MAX), tarncam_usb_list(nullptr, 0));
  for (const char* ids : {"04b4", "04b4:861", "04b4:8613,", "xyzw:0001"})
    EXPECT_EQ(tarncam_usb_select(ids, nullptr), -1) << ids;
  for (const char* device : {"serial:", "1-", "1-2..3", "256-1"})
    EXPECT_EQ(tarncam_usb_select(nullptr, device), -1) << device;
  EXPECT_EQ(tarncam_usb_select("", ""), 0);
  tarncam_usb_open_status(nullptr);

  tarncam_sim_default_options(nullptr);
  EXPECT_EQ(tarncam_sim_attach(nullptr), -1);
  EXPECT_EQ(tarncam_sim_get_stats(nullptr), -1);
  EXPECT_EQ(tarncam_sim_set_present(1), -1);
  tarncam_sim_options o;
  tarncam_sim_default_options(&o);
  const auto refused = [&](auto change) {
    tarncam_sim_options bad = o;
    change(bad);
    return tarncam_sim_attach(&bad) == -1;
  };
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.struct_size = 0; }));
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.scene = -1; }));
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.read_fail_probability = 1.5; }));
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.disconnect_probability = -0.1; }));
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.seeing_px = 0; }));
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.star_count = 10001; }));
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.sky_level = -1; }));
  // Regression: levels the frame arithmetic cannot carry, and a
  // hot-pixel count that would allocate gigabytes.
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.star_brightness = HUGE_VAL; }));
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.sky_level = 1e300; }));
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.guide_rate = NAN; }));
  EXPECT_TRUE(refused([](tarncam_sim_options& b) { b.hot_pixels = 100001; }));
  ASSERT_EQ(tarncam_sim_attach(&o), 0);
  EXPECT_EQ(tarncam_sim_get_stats(nullptr), -1);
  tarncam_sim_detach();
  tarncam_sim_detach();
  EXPECT_EQ(tarncam_sim_test_pattern(kAll, kAll, 1), sim::TestPatternSample(kAll, kAll, true));
}

// A whole capture with hostile words, on the simulated camera: the settings
// are limited, the exposure runs, the frame lands inside its buffer.
TEST(BadInput, HostileWordsThroughAWholeExposure) {
  sim::Options opts = sim::DefaultOptions();
  opts.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
  sim::VirtualClock clock;
  sim::SimCamera cam(opts, clock);
  sim::SimSystem sys(clock);
  tarncam::UsePlatform(&cam, &sys);
  ASSERT_EQ(::openUSB(kAll), 1u);

  // An empty window: the exposure ends, nothing is copied.
  ::Subframe(0, 0);
  ::ProgramCamera(0, 0, 0, 0);
  uint8_t none[1] = {5};
  ::Exposure(none);
  EXPECT_EQ(none[0], 5);
  EXPECT_EQ(::isExposing(), 0u);

  // The largest window, any depth word, gain beyond 100, an exposure near
  // the 32-bit limit (the camera times it; the read's timeout, the exposure
  // plus one second in 32 bits, wraps, so every read times out and the frame
  // is reported failed).
  ::Subframe(kAll, kAll);
  ::DynamicRange(0);
  ::ProgramCamera(kAll, kAll, kAll, kAll);
  EXPECT_EQ(cam.Sensor().gainCode, 111);
  std::vector<uint8_t> frame(752 * 480 * 2);
  ::Exposure(frame.data());
  EXPECT_EQ(::isExposing(), 0u);
  EXPECT_EQ(tarncam_last_frame(nullptr, nullptr), uint32_t{TARNCAM_LAST_FRAME_FAILED});

  // Guide words beyond 16 bits and durations that wrap when scaled.
  EXPECT_EQ(::GuideCommandXY(kAll, INT32_MAX, INT32_MIN), 0u);
  EXPECT_EQ(::CancelGuide(kAll, 0), 0u);
  EXPECT_EQ(::SendRegister(kAll, kAll), 0u);
  EXPECT_EQ(cam.Registers().back(), (std::pair<uint16_t, uint16_t>{0xFFFF, 0xFFFF}));
  ::closeUSB();
  EXPECT_EQ(cam.OpenHandles(), 0);
  EXPECT_EQ(cam.Faults().releasedHandleUses, 0u);
  tarncam::UsePlatform(nullptr, nullptr);
}

}  // namespace
