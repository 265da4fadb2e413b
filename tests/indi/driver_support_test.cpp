// The INDI driver's rules where the end-to-end tests cannot reach every
// case: subframe fitting, the simulator's option text and FITS times.

#include <gtest/gtest.h>

#include <cmath>

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

}  // namespace
}  // namespace tarnindi
