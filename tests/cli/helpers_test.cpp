// The tool's pure helpers: option syntax, window placement and colour phase,
// the demosaic plan, guide words and whole-or-nothing output files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/geometry.h"
#include "cli/options.h"
#include "cli/output_file.h"

namespace tarncli {
namespace {

TEST(ParseWindow, AcceptsSizesWithinTheSensorOnly) {
  Window w;
  ASSERT_TRUE(ParseWindow("376x240", &w).ok());
  EXPECT_EQ(w.width, 376u);
  EXPECT_EQ(w.height, 240u);
  ASSERT_TRUE(ParseWindow("1X1", &w).ok());
  EXPECT_EQ(w.width, 1u);
  // Subframe would quietly keep the low 16 bits or clamp; the tool refuses.
  for (const char* bad : {"753x480", "752x481", "0x10", "10x0", "65536x10", "x10", "10x", "10",
                          "10x10x10", "-1x10", "10 x10", "", "axb"}) {
    const Status s = ParseWindow(bad, &w);
    EXPECT_EQ(s.code, ExitCode::kBadArguments) << bad;
  }
}

TEST(CheckExposureSettings, ShortWindowsAreAtMost616Wide) {
  ExposureSettings s;
  s.window = {616, 479};
  EXPECT_TRUE(CheckExposureSettings(s).ok());
  s.window = {617, 479};
  EXPECT_FALSE(CheckExposureSettings(s).ok());
  s.window = {752, 480};
  EXPECT_TRUE(CheckExposureSettings(s).ok());
  s.bits = 9;
  EXPECT_FALSE(CheckExposureSettings(s).ok());
}

TEST(FramePath, NumbersFramesOnlyWhenThereAreSeveral) {
  EXPECT_EQ(FramePath("out/m42", 0, 1, ".fits"), "out/m42.fits");
  EXPECT_EQ(FramePath("out/m42", 0, 3, ".png"), "out/m42-0001.png");
  EXPECT_EQ(FramePath("m42", 11999, 12000, ".fits"), "m42-12000.fits");
}

TEST(PlanDemosaic, DropsALastColumnOnlyWhenThePhaseNeedsIt) {
  DemosaicPlan plan;
  // Colour 1 comes from even rows at columns of the width's parity.
  ASSERT_TRUE(PlanDemosaic("RGGB", 752, 480, &plan));
  EXPECT_EQ(plan.width, 752u);
  EXPECT_TRUE(plan.colour1IsRed);
  ASSERT_TRUE(PlanDemosaic("RGGB", 751, 480, &plan));
  EXPECT_EQ(plan.width, 750u);
  ASSERT_TRUE(PlanDemosaic("GRBG", 752, 480, &plan));
  EXPECT_EQ(plan.width, 751u);
  EXPECT_TRUE(plan.colour1IsRed);
  ASSERT_TRUE(PlanDemosaic("GBRG", 377, 2, &plan));
  EXPECT_EQ(plan.width, 377u);
  EXPECT_FALSE(plan.colour1IsRed);
  ASSERT_TRUE(PlanDemosaic("BGGR", 2, 2, &plan));
  EXPECT_FALSE(plan.colour1IsRed);
  EXPECT_FALSE(PlanDemosaic("RGGB", 3, 1, &plan));  // no row pair
  EXPECT_FALSE(PlanDemosaic("GRBG", 2, 5, &plan));  // one column left
  EXPECT_FALSE(PlanDemosaic("", 10, 10, &plan));
}

TEST(BuildGuidePulse, NamedDirectionsSetOneBitPerAxis) {
  GuideOptions o;
  GuidePulse p;
  o.east = 150;
  o.north = -1;
  ASSERT_TRUE(BuildGuidePulse(o, &p).ok());
  EXPECT_EQ(p.direction, 0x1u | 0x8u);
  EXPECT_EQ(p.xMs, 150);
  EXPECT_EQ(p.yMs, -1);

  GuideOptions raw;
  raw.directionBits = 0x6;
  raw.y = 20;
  ASSERT_TRUE(BuildGuidePulse(raw, &p).ok());
  EXPECT_EQ(p.direction, 0x6u);
  EXPECT_EQ(p.xMs, 0);
  EXPECT_EQ(p.yMs, 20);

  GuideOptions cancelOnly;
  cancelOnly.cancel = "both";
  ASSERT_TRUE(BuildGuidePulse(cancelOnly, &p).ok());
  EXPECT_EQ(p.direction, 0u);

  GuideOptions tooLong;
  tooLong.west = 3'600'001;  // tenths of a millisecond would near the wire's limit
  EXPECT_FALSE(BuildGuidePulse(tooLong, &p).ok());
}

class OutputFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarncam-output-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  size_t Entries() const {
    return std::distance(std::filesystem::directory_iterator(dir),
                         std::filesystem::directory_iterator());
  }
  std::filesystem::path dir;
};

TEST_F(OutputFileTest, AppearsOnlyOnCommit) {
  const std::string target = (dir / "frame.fits").string();
  {
    OutputFile f;
    ASSERT_TRUE(f.Create(target).ok());
    std::fputs("partial", f.stream());
    EXPECT_FALSE(std::filesystem::exists(target));
  }  // dropped without commit: nothing stays, not even the temporary file
  EXPECT_EQ(Entries(), 0u);

  OutputFile f;
  ASSERT_TRUE(f.Create(target).ok());
  std::fputs("whole", f.stream());
  ASSERT_TRUE(f.Commit().ok());
  std::ifstream in(target);
  std::string text;
  in >> text;
  EXPECT_EQ(text, "whole");
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(OutputFileTest, UnwritableTargetsAreReportedUpFront) {
  EXPECT_EQ(CheckWritable((dir / "missing" / "x.fits").string()).code, ExitCode::kNotWritable);
  EXPECT_EQ(CheckWritable(dir.string()).code, ExitCode::kNotWritable);
  EXPECT_TRUE(CheckWritable((dir / "x.fits").string()).ok());
  EXPECT_EQ(Entries(), 0u);  // the check leaves nothing behind
}

}  // namespace
}  // namespace tarncli
