// Every status of the camera API where it arises (the rest arise in
// camera_api_test.cpp), the settings' range checks and what the settings do
// on the camera.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "api_test_support.h"
#include "fakes/recording_platform.h"

namespace apitest {
namespace {

using tarncam::UsbResult;
using tarncam::UsbStatus;
using tarncam::testing::RecordingPlatform;

TEST(Statuses, EachHasItsOwnTextAndTheDetailFollowsTheCall) {
  std::set<std::string> texts;
  for (int s = TARNCAM_OK; s <= TARNCAM_ERR_CLOSED; ++s) {
    const std::string t = tarncam_status_text(static_cast<tarncam_status>(s));
    EXPECT_NE(t, "unknown status") << s;
    texts.insert(t);
  }
  EXPECT_EQ(texts.size(), size_t{TARNCAM_ERR_CLOSED} + 1);
  EXPECT_STREQ(tarncam_status_text(static_cast<tarncam_status>(99)), "unknown status");

  EXPECT_TRUE(Is(TARNCAM_ERR_INVALID_ARGUMENT, tarncam_open_id(nullptr, nullptr)));
  EXPECT_TRUE(Is(TARNCAM_ERR_INVALID_ARGUMENT, tarncam_open_id("", nullptr)));
  EXPECT_TRUE(Is(TARNCAM_ERR_INVALID_ARGUMENT, tarncam_list_cameras(nullptr, 1, nullptr)));
  EXPECT_TRUE(Is(TARNCAM_ERR_INVALID_ARGUMENT, tarncam_close(nullptr)));
  tarncam_error_detail small{};
  small.struct_size = 8;
  EXPECT_EQ(tarncam_last_error(&small), TARNCAM_ERR_INVALID_ARGUMENT);
  // Asking does not change the answer; the next call does.
  tarncam_error_detail d{};
  d.struct_size = sizeof d;
  ASSERT_EQ(tarncam_last_error(&d), TARNCAM_OK);
  EXPECT_EQ(d.status, TARNCAM_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(
      Is(TARNCAM_OK, tarncam_control_range(TARNCAM_CONTROL_GAIN, nullptr, nullptr, nullptr)));
  EXPECT_EQ(tarncam_library_version(), 0x000200u);
}

TEST(Statuses, OpeningSaysWhyItFailed) {
  const struct {
    const char* what;
    void (*setup)(sim::Options&);
    tarncam_status want;
  } cases[] = {
      {"wrong firmware", [](sim::Options& o) { o.firmware_version = 7; },
       TARNCAM_ERR_WRONG_FIRMWARE},
      {"unanswered version query", [](sim::Options& o) { o.version_no_answer = 1; },
       TARNCAM_ERR_PROTOCOL},
      {"controller stays blank",
       [](sim::Options& o) {
         o.blank_controller = 1;
         o.stays_blank = 1;
       },
       TARNCAM_ERR_FIRMWARE_LOAD},
      {"not plugged in", [](sim::Options& o) { o.present = 0; }, TARNCAM_ERR_NO_DEVICE},
  };
  for (const auto& c : cases) {
    SimRig rig;
    c.setup(rig.opts);
    EXPECT_TRUE(Is(c.want, rig.Open("test:open"))) << c.what;
    EXPECT_EQ(rig.handle, nullptr);
  }
  tarncam_error_detail d{};
  d.struct_size = sizeof d;
  SimRig wrong;
  wrong.opts.firmware_version = 7;
  wrong.Open("test:open");
  tarncam_last_error(&d);
  EXPECT_EQ(d.firmware_version, 7u);
  EXPECT_NE(std::string(d.message).find("0x00000007"), std::string::npos) << d.message;

  // A blank controller that takes its firmware opens after the restart.
  SimRig blank;
  blank.opts.blank_controller = 1;
  ASSERT_TRUE(Is(TARNCAM_OK, blank.Open("test:blank")));
  EXPECT_EQ(blank.cam->Stats().firmware_downloads, 1u);
  EXPECT_GE(blank.clock.NowUs(), 5'200'000u);

  // What the system says, with its own code: from the scripted fake.
  for (auto [status, want] : {std::pair{UsbStatus::kAccess, TARNCAM_ERR_ACCESS},
                              std::pair{UsbStatus::kBusy, TARNCAM_ERR_BUSY},
                              std::pair{UsbStatus::kNoMemory, TARNCAM_ERR_NO_MEMORY}}) {
    RecordingPlatform fake;
    fake.openFails = true;
    fake.openFailure = UsbResult::Fail(status, 13);
    tarncam_camera* cam = nullptr;
    EXPECT_TRUE(
        Is(want, tarncam::api::OpenOnPlatform(fake.platform(), fake.path.c_str(), "fake:0", &cam)));
    tarncam_last_error(&d);
    EXPECT_EQ(d.os_error, 13);
    EXPECT_EQ(fake.liveDevices() + fake.liveInterfaces(), 0);
  }

  tarncam_sim_options bad;
  tarncam_sim_default_options(&bad);
  bad.scene = 9;
  tarncam_camera* cam = nullptr;
  EXPECT_TRUE(Is(TARNCAM_ERR_OUT_OF_RANGE, tarncam_open_simulated(&bad, &cam)));
  bad.struct_size = 8;
  EXPECT_TRUE(Is(TARNCAM_ERR_INVALID_ARGUMENT, tarncam_open_simulated(&bad, &cam)));
}

TEST(Statuses, ExposuresSayWhatBecameOfThem) {
  SimRig rig;
  rig.opts.read_timeout_probability = 1.0;
  ASSERT_EQ(rig.Open("test:timeout"), TARNCAM_OK);
  std::vector<uint8_t> frame(752 * 480);
  tarncam_frame_record r = NewRecord();
  EXPECT_TRUE(Is(TARNCAM_ERR_NO_EXPOSURE, tarncam_wait_frame(rig.handle, 0, &r)));
  EXPECT_TRUE(
      Is(TARNCAM_ERR_INVALID_ARGUMENT,
         tarncam_start_exposure(rig.handle, frame.data(), frame.size() - 1, nullptr, nullptr)));
  ASSERT_EQ(tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr),
            TARNCAM_OK);
  EXPECT_TRUE(Is(TARNCAM_ERR_TIMEOUT, tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, &r)));
  EXPECT_EQ(r.reads_attempted, 5u);
  EXPECT_EQ(r.reads_failed, 5u);
  // A record too small for this version is refused, nothing written.
  tarncam_frame_record small = NewRecord();
  small.struct_size = 16;
  EXPECT_TRUE(Is(TARNCAM_ERR_INVALID_ARGUMENT, tarncam_wait_frame(rig.handle, 0, &small)));

  // The camera sends more than asked: as the system reported it.
  RecordingPlatform fake;
  fake.readFailure = UsbResult::Fail(UsbStatus::kOverflow, 75);
  fake.readResults = {false, false, false, false, false};
  tarncam_camera* cam = nullptr;
  ASSERT_EQ(tarncam::api::OpenOnPlatform(fake.platform(), fake.path.c_str(), "fake:1", &cam),
            TARNCAM_OK);
  ASSERT_EQ(tarncam_start_exposure(cam, frame.data(), frame.size(), nullptr, nullptr), TARNCAM_OK);
  EXPECT_TRUE(Is(TARNCAM_ERR_OVERFLOW, tarncam_wait_frame(cam, TARNCAM_WAIT_FOREVER, &r)));
  EXPECT_EQ(r.os_error, 75);
  EXPECT_EQ(tarncam_close(cam), TARNCAM_OK);
  EXPECT_EQ(fake.liveDevices() + fake.liveInterfaces(), 0);
  EXPECT_EQ(fake.misuse(), 0);
}

TEST(Settings, RangesAreCheckedAndNothingOutsideIsStored) {
  SimRig rig;
  ASSERT_EQ(rig.Open("test:settings"), TARNCAM_OK);
  int64_t min = 0, max = 0, def = 0;
  ASSERT_EQ(tarncam_control_range(TARNCAM_CONTROL_DIGITAL_GAIN, &min, &max, &def), TARNCAM_OK);
  EXPECT_EQ(min, 0);
  EXPECT_EQ(max, 255);
  EXPECT_EQ(def, 244);
  EXPECT_TRUE(Is(TARNCAM_ERR_INVALID_ARGUMENT,
                 tarncam_control_range(TARNCAM_CONTROL_COUNT, &min, &max, &def)));
  EXPECT_TRUE(Is(TARNCAM_ERR_INVALID_ARGUMENT,
                 tarncam_set_control(rig.handle, static_cast<tarncam_control>(-1), 0)));
  const struct {
    tarncam_control control;
    int64_t value;
  } refused[] = {{TARNCAM_CONTROL_BIT_DEPTH, 9},
                 {TARNCAM_CONTROL_DIGITAL_GAIN, 256},
                 {TARNCAM_CONTROL_EXPOSURE_MS, 3'600'001},
                 {TARNCAM_CONTROL_GAIN, 101},
                 {TARNCAM_CONTROL_ADC_REFERENCE, 7},
                 {TARNCAM_CONTROL_FLIP_VERTICAL, 2},
                 {TARNCAM_CONTROL_OFFSET, -1}};
  for (const auto& c : refused) {
    int64_t before = 0, after = 0;
    tarncam_get_control(rig.handle, c.control, &before);
    EXPECT_TRUE(Is(TARNCAM_ERR_OUT_OF_RANGE, tarncam_set_control(rig.handle, c.control, c.value)))
        << c.control;
    tarncam_get_control(rig.handle, c.control, &after);
    EXPECT_EQ(after, before);
  }
  // Shorter windows read the 616 centre columns only.
  EXPECT_TRUE(Is(TARNCAM_ERR_OUT_OF_RANGE, tarncam_set_window(rig.handle, 617, 479)));
  EXPECT_TRUE(Is(TARNCAM_ERR_OUT_OF_RANGE, tarncam_set_window(rig.handle, 753, 480)));
  EXPECT_TRUE(Is(TARNCAM_ERR_OUT_OF_RANGE, tarncam_set_window(rig.handle, 0, 10)));
  EXPECT_TRUE(Is(TARNCAM_ERR_OUT_OF_RANGE, tarncam_set_window(rig.handle, 10, 481)));
  EXPECT_TRUE(Is(TARNCAM_OK, tarncam_set_window(rig.handle, 616, 479)));

  // What is set reaches the sensor with the next exposure.
  for (auto [c, v] :
       std::vector<std::pair<tarncam_control, int64_t>>{{TARNCAM_CONTROL_DIGITAL_GAIN, 200},
                                                        {TARNCAM_CONTROL_ADC_REFERENCE, 6},
                                                        {TARNCAM_CONTROL_AGC, 1},
                                                        {TARNCAM_CONTROL_COMPANDING, 1},
                                                        {TARNCAM_CONTROL_ROW_NOISE, 0},
                                                        {TARNCAM_CONTROL_GAIN, 100}})
    ASSERT_EQ(tarncam_set_control(rig.handle, c, v), TARNCAM_OK);
  std::vector<uint8_t> frame(616 * 479);
  ASSERT_EQ(tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr),
            TARNCAM_OK);
  ASSERT_EQ(tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, nullptr), TARNCAM_OK);
  const sim::SensorSettings s = rig.cam->Sensor();
  EXPECT_EQ(s.digitalGain, 200);
  EXPECT_EQ(s.adcRef, 0x0846);
  EXPECT_EQ(s.agc, 0x0202);
  EXPECT_EQ(s.companding, 0x0303);
  EXPECT_EQ(s.rowNoise, 0x0018);
  EXPECT_EQ(s.gainCode, 111);
  EXPECT_EQ(s.windowHeight, 479);
  EXPECT_EQ(s.rowWidth, 616);
}

}  // namespace
}  // namespace apitest
