// Geometry, timing and the exposure split against worked values, and their
// invariants over every window the sensor offers.

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "core/camera_state.h"
#include "sensor/geometry.h"

namespace tarncam {
namespace {

struct Derived {
  std::unique_ptr<CameraState> s = std::make_unique<CameraState>();
  SensorWorkingValues w{};
};

Derived Derive(uint16_t width, uint16_t height, uint8_t depth, uint32_t exposure = 50,
               uint32_t gain = 50) {
  Derived d;
  d.s->width = width;
  d.s->height = height;
  d.s->dynamicRange = depth;
  d.s->exposure = exposure;
  d.s->gain = gain;
  d.w = DeriveGeometry(*d.s);
  return d;
}

TEST(Geometry, WorkedValuesForFullAndQuarterWindows) {
  struct Row {
    uint16_t w, h;
    uint16_t vBlank;
    uint32_t rowPitch, rowStart, rowsTotal, frameTime, leadTime, readLength, tailTime,
        frameEndMark, limit8, limit10;
  };
  const Row rows[] = {
      {752, 480, 44, 796, 0, 524, 417108, 8001, 382080, 27027, 412332, 16, 26},
      {376, 240, 11, 660, 120, 251, 165664, 6641, 158400, 623, 161704, 9, 16},
  };
  for (const Row& r : rows) {
    for (uint8_t depth : {8, 9}) {
      const Derived d = Derive(r.w, r.h, depth);
      const CameraState& s = *d.s;
      EXPECT_EQ(s.vBlank, r.vBlank);
      EXPECT_EQ(s.rowPitch, r.rowPitch);
      EXPECT_EQ(s.rowStart, r.rowStart);
      EXPECT_EQ(s.rowsTotal, r.rowsTotal);
      EXPECT_EQ(s.frameTime, r.frameTime);
      EXPECT_EQ(s.leadTime, r.leadTime);
      EXPECT_EQ(s.readLength, r.readLength);
      EXPECT_EQ(s.tailTime, r.tailTime);
      EXPECT_EQ(d.w.frameEndMark, r.frameEndMark);
      EXPECT_EQ(s.rowBytes, r.w);
      EXPECT_EQ(s.rowsToCopy, r.h);
      EXPECT_EQ(d.w.shutterLimit, depth == 8 ? r.limit8 : r.limit10);
      EXPECT_EQ(d.w.rowRate, depth == 8 ? 30u : 18u);
    }
  }
}

TEST(Geometry, ExposureSplitAcrossBothRegimes) {
  struct Case {
    uint8_t depth;
    uint32_t exposure;
    int32_t shutterRows;
    uint32_t deviceExposure;
    uint16_t regime;
  };
  const Case cases[] = {
      {8, 10, 290, 1, 0x7F20},     {9, 10, 182, 1, 0x7F20},     {8, 16, 470, 1, 0x7F20},
      {8, 17, 1, 1, 0x0032},       {8, 100, 1, 84, 0x0032},     {8, 0, 1, 1, 0x7F20},
      {9, 0, 2, 1, 0x7F20},        {9, 26, 470, 1, 0x7F20},     {9, 27, 1, 1, 0x0032},
      {8, 100000, 1, 99984, 0x0032},
  };
  for (const Case& c : cases) {
    const Derived d = Derive(752, 480, c.depth, c.exposure);
    EXPECT_EQ(d.w.shutterRows, c.shutterRows) << int(c.depth) << " " << c.exposure;
    EXPECT_EQ(d.w.deviceExposure, c.deviceExposure) << c.exposure;
    EXPECT_EQ(d.w.regimeWord, c.regime) << c.exposure;
  }
}

TEST(Geometry, ShortWindowsRaiseTheShutterToOneRow) {
  // Fewer than 11 rows: rowsToCopy - 10 wraps below zero and is raised to 1.
  for (uint16_t h : {0, 1, 5, 10}) {
    const Derived d = Derive(752, h, 8, 0);
    EXPECT_EQ(d.w.shutterRows, 1) << h;
    EXPECT_EQ(d.w.regimeWord, 0x7F20);
  }
  EXPECT_EQ(Derive(752, 11, 8, 0).w.shutterRows, 1);
}

TEST(Geometry, GainIndexCeilingAndTruncation) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 0},    {2, 0},    {3, 1},
                                                 {50, 23},  {99, 46},  {100, 47},
                                                 {101, 47}, {1000, 47}, {0xFFFFFFFF, 47},
                                                 {0x80000000, 47}};
  for (auto [gain, index] : cases) EXPECT_EQ(Derive(752, 480, 8, 50, gain).w.gainIndex, index) << gain;
}

TEST(Geometry, HeightAloneChoosesTheReadout) {
  Derived d = Derive(100, 480, 8);  // full height, narrow
  EXPECT_EQ(d.s->rowPitch, 796u);
  EXPECT_EQ(d.s->vBlank, 44);
  d = Derive(752, 479, 8);
  EXPECT_EQ(d.s->rowPitch, 660u);
  EXPECT_EQ(d.s->vBlank, 11);
  EXPECT_EQ(d.s->rowStart, 0u);
  EXPECT_EQ(Derive(752, 241, 8).s->rowStart, 118u);
  EXPECT_EQ(Derive(752, 240, 8).s->rowStart, 120u);
  // Out of the sensor's range the arithmetic still runs as written.
  EXPECT_EQ(Derive(752, 482, 8).s->rowStart, 0xFFFEu);
}

TEST(Geometry, DepthChangesOnlyTheSplit) {
  const Derived a = Derive(640, 300, 8, 5);
  const Derived b = Derive(640, 300, 9, 5);
  for (auto f : {&CameraState::rowPitch, &CameraState::rowStart, &CameraState::rowsTotal,
                 &CameraState::frameTime, &CameraState::leadTime, &CameraState::readLength,
                 &CameraState::tailTime, &CameraState::rowBytes, &CameraState::rowsToCopy})
    EXPECT_EQ((*a.s).*f, (*b.s).*f);
  EXPECT_NE(a.w.shutterLimit, b.w.shutterLimit);
}

TEST(Geometry, EveryWindowKeepsTimingConsistentAndFitsTheRawBuffer) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> wd(0, 752), hd(0, 480), ed(0, 200000), gd(0, 150);
  // One record reused: a fresh one per case would zero 2.4 MB each time.
  auto state = std::make_unique<CameraState>();
  auto check = [&](uint16_t w, uint16_t h, uint8_t depth, uint32_t e, uint32_t g) {
    CameraState& s = *state;
    s.width = w;
    s.height = h;
    s.dynamicRange = depth;
    s.exposure = e;
    s.gain = g;
    const SensorWorkingValues v = DeriveGeometry(s);
    ASSERT_EQ(s.leadTime + s.readLength + s.tailTime, s.frameTime) << w << "x" << h;
    const uint64_t bps = depth & 1 ? 2 : 1;
    ASSERT_LE(s.readLength * bps, kFrameBufferEntries) << w << "x" << h;
    const uint64_t skip = (w == 376 || w == 400) ? 50 : 0;
    if (h > 0) {
      ASSERT_LE((skip + (h - 1) * uint64_t{s.rowPitch} + w) * bps, kFrameBufferEntries)
          << w << "x" << h;
    }
    ASSERT_GE(v.shutterRows, 1);
    ASSERT_GE(v.deviceExposure, 1u);
    ASSERT_LE(v.gainIndex, 47u);
  };
  for (int i = 0; i < 20000; ++i)
    check(wd(rng), hd(rng), i % 2 ? 9 : 8, ed(rng), gd(rng));
  // The corners exhaustively.
  for (uint16_t w : {0, 1, 376, 400, 616, 617, 660, 661, 751, 752})
    for (uint16_t h = 0; h <= 480; ++h)
      for (uint8_t depth : {8, 9}) check(w, h, depth, 50, 50);
}

struct PlacementCase {
  uint32_t width, height;
  bool flipH, flipV;
  uint32_t x, y;
  const char* pattern;
};

TEST(PlaceWindow, OriginAndColourPhaseFollowTheReadout) {
  const PlacementCase cases[] = {
      {752, 480, false, false, 0, 0, "RGGB"},
      {752, 480, true, false, 0, 0, "GRBG"},
      {752, 480, false, true, 0, 0, "GBRG"},
      {752, 480, true, true, 0, 0, "BGGR"},
      {640, 480, false, false, 0, 0, "RGGB"},
      {640, 480, true, false, 112, 0, "GRBG"},  // cut from the far end of the flipped row
      {400, 480, false, false, 50, 0, "RGGB"},
      {376, 240, false, false, 68 + 50, 120, "RGGB"},  // rows of 616 centred columns
      {376, 240, true, false, 68 + 616 - 50 - 376, 120, "GRBG"},
      {377, 241, false, false, 68, 118, "RGGB"},
      {377, 241, false, true, 68, 118, "RGGB"},             // the last row, 358, is even too
      {377, 241, true, true, 68 + 616 - 377, 118, "GRBG"},  // flipped rows start at column 683
      {1, 1, false, false, 68, 238, "RGGB"},
  };
  for (const PlacementCase& c : cases) {
    const WindowPlacement p = PlaceWindow(c.width, c.height, c.flipH, c.flipV);
    SCOPED_TRACE(::testing::Message()
                 << c.width << "x" << c.height << " h" << c.flipH << " v" << c.flipV);
    EXPECT_EQ(p.xOrigin, c.x);
    EXPECT_EQ(p.yOrigin, c.y);
    EXPECT_STREQ(BayerPatternAt(p.firstX, p.firstY), c.pattern);
  }
}

}  // namespace
}  // namespace tarncam
