// The INDI driver's rules where the end-to-end tests cannot reach every
// case: subframe fitting, the simulator's option text, FITS times, and a
// property's settings applied all or none when the camera refuses one.

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "indi/driver_support.h"

namespace tarnindi {
namespace {

TEST(FitWindowSize, KeepsWhatTheCameraReadsAndSaysWhatItChanged) {
  struct Case {
    double w, h;
    uint32_t width, height;
    bool narrowed, clipped;
  };
  const Case cases[] = {
      {752, 480, 752, 480, false, false},      // the full sensor
      {700, 480, 700, 480, false, false},      // full height: whole rows
      {700, 300, 616, 300, true, false},       // shorter: the centre columns only
      {616.4, 479.6, 616, 480, false, false},  // rounded before the rules apply
      {800, 500, 752, 480, false, true},
      {800, 479, 616, 479, true, true},
      {1, 1, 1, 1, false, false},
  };
  for (const Case& c : cases) {
    const FittedSize f = FitWindowSize(c.w, c.h);
    EXPECT_FALSE(f.refused) << c.w << "x" << c.h;
    EXPECT_EQ(f.width, c.width) << c.w << "x" << c.h;
    EXPECT_EQ(f.height, c.height) << c.w << "x" << c.h;
    EXPECT_EQ(f.narrowed, c.narrowed) << c.w << "x" << c.h;
    EXPECT_EQ(f.clipped, c.clipped) << c.w << "x" << c.h;
  }
  EXPECT_TRUE(FitWindowSize(0, 480).refused);
  EXPECT_TRUE(FitWindowSize(752, 0.4).refused);
  EXPECT_TRUE(FitWindowSize(-5, 100).refused);
  EXPECT_TRUE(FitWindowSize(std::nan(""), 100).refused);
}

TEST(ParseSimulatorSetup, ReadsKeysOverTheDefaultsAndRefusesNonsense) {
  SimulatorSetup setup;
  std::string error;
  ASSERT_TRUE(ParseSimulatorSetup(
      "scene=test-pattern,colour,fail_read=2,fail_read_count=5,guide_rate=20,cameras=2,"
      "virtual_time,firmware_version=0x0132901D",
      &setup, &error))
      << error;
  tarncam_sim_options defaults;
  tarncam_sim_default_options(&defaults);
  EXPECT_EQ(setup.options.scene, TARNCAM_SIM_SCENE_TEST_PATTERN);
  EXPECT_EQ(setup.options.colour, 1);
  EXPECT_EQ(setup.options.fail_read_number, 2u);
  EXPECT_EQ(setup.options.fail_read_count, 5u);
  EXPECT_EQ(setup.options.guide_rate, 20.0);
  EXPECT_EQ(setup.options.virtual_time, 1);
  EXPECT_EQ(setup.options.firmware_version, 0x0132901Du);
  EXPECT_EQ(setup.cameras, 2u);
  EXPECT_EQ(setup.options.seed, defaults.seed);
  EXPECT_EQ(setup.options.star_count, defaults.star_count);

  ASSERT_TRUE(ParseSimulatorSetup("", &setup, &error));
  EXPECT_EQ(setup.cameras, 1u);
  EXPECT_EQ(setup.options.scene, defaults.scene);

  for (const char* bad : {"moon=1", "scene=moon", "fail_read=-1", "fail_read=x", "cameras=0",
                          "cameras=9", "guide_rate=fast", "colour=4294967296"}) {
    error.clear();
    EXPECT_FALSE(ParseSimulatorSetup(bad, &setup, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(FitsTimestamp, MillisecondsOfUtc) {
  EXPECT_EQ(FitsTimestamp(0), "1970-01-01T00:00:00.000");
  EXPECT_EQ(FitsTimestamp(1767225600123456789LL), "2026-01-01T00:00:00.123");
  EXPECT_EQ(FitsTimestamp(-1), "1969-12-31T23:59:59.999");
}

TEST(ApplyAllOrNone, ARefusedValueLeavesTheCameraAsItWas) {
  using Call = std::pair<tarncam_control, int64_t>;
  std::vector<Call> calls;
  tarncam_status refuse = TARNCAM_OK;
  tarncam_control refused = TARNCAM_CONTROL_DIGITAL_GAIN;
  const auto set = [&](tarncam_control c, int64_t v) {
    calls.emplace_back(c, v);
    return c == refused && calls.size() == 2 ? refuse : TARNCAM_OK;
  };
  const std::vector<ControlChange> converter = {
      {TARNCAM_CONTROL_ADC_REFERENCE, 0, 3, "ADC reference"},
      {TARNCAM_CONTROL_DIGITAL_GAIN, 244, 200, "digital gain"}};
  std::string error;
  tarncam_status status = TARNCAM_ERR_IO;

  // All taken; an unchanged value is not sent.
  ASSERT_TRUE(ApplyAllOrNone({converter[0], {TARNCAM_CONTROL_DIGITAL_GAIN, 9, 9, "digital gain"}},
                             set, &error, &status));
  EXPECT_EQ(status, TARNCAM_OK);
  EXPECT_EQ(calls, (std::vector<Call>{{TARNCAM_CONTROL_ADC_REFERENCE, 3}}));

  // One out of range: nothing is sent at all, and the message says which.
  calls.clear();
  EXPECT_FALSE(
      ApplyAllOrNone({converter[0], {TARNCAM_CONTROL_DIGITAL_GAIN, 244, 300, "digital gain"}}, set,
                     &error, &status));
  EXPECT_EQ(status, TARNCAM_ERR_OUT_OF_RANGE);
  EXPECT_TRUE(calls.empty());
  EXPECT_NE(error.find("digital gain must be 0 to 255, not 300"), std::string::npos) << error;

  // The camera refuses the second: the first is set back.
  refuse = TARNCAM_ERR_NO_DEVICE;
  EXPECT_FALSE(ApplyAllOrNone(converter, set, &error, &status));
  EXPECT_EQ(status, TARNCAM_ERR_NO_DEVICE);
  EXPECT_EQ(calls, (std::vector<Call>{{TARNCAM_CONTROL_ADC_REFERENCE, 3},
                                      {TARNCAM_CONTROL_DIGITAL_GAIN, 200},
                                      {TARNCAM_CONTROL_ADC_REFERENCE, 0}}));
}

}  // namespace
}  // namespace tarnindi
