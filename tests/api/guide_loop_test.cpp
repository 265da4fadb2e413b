// A guider of our own on the camera API, on a virtual clock: it centroids the
// guide star, corrects in proportion with a minimum move, and waits out its
// pulses before the next frame, as a real guider does. On a sky whose mount
// has periodic error and drift it must hold the star; unguided, the same sky
// must drift. This covers the pulse semantics end to end: directions, axes,
// durations and the mount position the frames share.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "api_test_support.h"
#include "sim/options_text.h"
#include "sim/star_field.h"

namespace {

using apitest::SimRig;

struct Track {
  double rmsArcsec = 0;  // of the star's error after the lock
  double worstArcsec = 0;
  int pulses = 0;
};

// Brightest-pixel search around (x, y), then an intensity centroid over the
// background: enough for one bright, isolated star.
std::pair<double, double> Centroid(const std::vector<uint8_t>& f, int w, int h, double x, double y,
                                   int box = 12) {
  const int cx = static_cast<int>(std::lround(x)), cy = static_cast<int>(std::lround(y));
  double bg = 0;
  int n = 0;
  for (int r = cy - box; r <= cy + box; ++r)
    for (int c = cx - box; c <= cx + box; ++c)
      if (r >= 0 && r < h && c >= 0 && c < w &&
          (r == cy - box || r == cy + box || c == cx - box || c == cx + box)) {
        bg += f[r * w + c];
        ++n;
      }
  bg = n != 0 ? bg / n : 0;
  double sx = 0, sy = 0, s = 0;
  for (int r = cy - box; r <= cy + box; ++r)
    for (int c = cx - box; c <= cx + box; ++c) {
      if (r < 0 || r >= h || c < 0 || c >= w) continue;
      const double v = std::max(0.0, f[r * w + c] - bg - 4.0);
      sx += v * (c + 0.5);
      sy += v * (r + 0.5);
      s += v;
    }
  if (s <= 0) return {NAN, NAN};
  return {sx / s, sy / s};
}

// `seconds` of simulated sky in 1 s exposures; with `guided`, pulses of
// `gain` times the error (none below `minMovePx`), each axis at most 2 s.
Track Guide(const std::string& sky, bool guided, double seconds, double gain = 0.7,
            double minMovePx = 0.1) {
  SimRig rig;
  std::string error;
  EXPECT_TRUE(sim::ParseOptions(sky, &rig.opts, &error)) << error;
  rig.opts.virtual_time = 1;
  EXPECT_EQ(rig.Open("test:guide-loop"), TARNCAM_OK);
  EXPECT_EQ(tarncam_set_control(rig.handle, TARNCAM_CONTROL_EXPOSURE_MS, 1000), TARNCAM_OK);
  // A guide window around the sensor's middle, where the brightest star is.
  EXPECT_EQ(tarncam_set_window(rig.handle, 480, 240), TARNCAM_OK);
  const double scale = sim::ArcsecPerPixel(rig.opts);
  const double rate = sim::GuideRatePx(rig.opts);
  const sim::Star star = rig.cam->Stars()->Stars()[0];

  std::vector<uint8_t> frame(480 * 240);
  double lockX = NAN, lockY = NAN, x = star.x, y = star.y;
  double sum2 = 0;
  int n = 0;
  Track t;
  const uint64_t end = rig.clock.NowUs() + static_cast<uint64_t>(seconds * 1e6);
  while (rig.clock.NowUs() < end) {
    EXPECT_EQ(tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr),
              TARNCAM_OK);
    tarncam_frame_record r = apitest::NewRecord();
    EXPECT_EQ(tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, &r), TARNCAM_OK);
    std::tie(x, y) = Centroid(frame, 480, 240, x - r.x_origin, y - r.y_origin);
    x += r.x_origin;
    y += r.y_origin;
    if (!std::isfinite(x)) {
      ADD_FAILURE() << "the star was lost at " << rig.clock.NowUs() / 1e6 << " s (window at "
                    << r.x_origin << ", " << r.y_origin << ", " << r.width << " x " << r.height << ")";
      return t;
    }
    if (std::isnan(lockX)) {
      lockX = x;
      lockY = y;
    } else {
      const double e = std::hypot(x - lockX, y - lockY) * scale;
      sum2 += e * e;
      ++n;
      t.worstArcsec = std::max(t.worstArcsec, e);
    }
    // X is right ascension, Y declination: a star found at +X is brought
    // back by a -X pulse.
    uint32_t dirs = 0;
    int32_t ms[2] = {0, 0};
    const double err[2] = {x - lockX, y - lockY};
    for (int a = 0; a < 2 && guided; ++a) {
      if (std::fabs(err[a]) < minMovePx) continue;
      ms[a] = static_cast<int32_t>(
          std::min(2000.0, std::round(gain * std::fabs(err[a]) / rate * 1000.0)));
      if (ms[a] == 0) continue;
      dirs |= a == 0 ? (err[a] > 0 ? TARNCAM_GUIDE_MINUS_X : TARNCAM_GUIDE_PLUS_X)
                     : (err[a] > 0 ? TARNCAM_GUIDE_MINUS_Y : TARNCAM_GUIDE_PLUS_Y);
      ++t.pulses;
    }
    if (dirs != 0) {
      EXPECT_EQ(tarncam_guide_pulse(rig.handle, dirs, ms[0], ms[1]), TARNCAM_OK);
    }
    // The next frame starts once the pulses are over (and 1 s later
    // unguided, so that both tracks sample the sky alike).
    rig.clock.Advance(static_cast<uint64_t>(guided ? std::max(ms[0], ms[1]) + 100 : 1100) * 1000);
  }
  t.rmsArcsec = n != 0 ? std::sqrt(sum2 / n) : 0;
  return t;
}

// Periodic error 15" over 480 s, declination drift 0.05 "/s and 0.3" of
// seeing at 1.50 "/px, the default optics and guide rate (half sidereal).
TEST(GuideLoop, HoldsTheStarWhereTheUnguidedSkyDrifts) {
  const std::string sky = "mount=real";
  const Track unguided = Guide(sky, false, 150);
  const Track guided = Guide(sky, true, 150);
  std::printf("guide loop, %s: unguided RMS %.2f\", guided RMS %.2f\" (worst %.2f\", %d pulses)\n",
              sky.c_str(), unguided.rmsArcsec, guided.rmsArcsec, guided.worstArcsec, guided.pulses);
  EXPECT_GE(unguided.rmsArcsec, 5.0);
  EXPECT_LE(guided.rmsArcsec, 1.0) << "worst " << guided.worstArcsec << "\"";
  EXPECT_LE(guided.worstArcsec, 3.0);
  EXPECT_GT(guided.pulses, 20);
  // The same sky and loop give the same track.
  EXPECT_EQ(Guide(sky, true, 30).rmsArcsec, Guide(sky, true, 30).rmsArcsec);
}

// Declination backlash and a cloud: the loop still converges once the play
// is taken up, and holds the star through the fade.
TEST(GuideLoop, HoldsThroughBacklashAndAFadingStar) {
  const Track t =
      Guide("mount=real,dec_backlash=300,fade_depth=0.6,fade_period=40,fade_length=10", true, 120);
  std::printf("guide loop, backlash and cloud: guided RMS %.2f\" (worst %.2f\")\n", t.rmsArcsec,
              t.worstArcsec);
  EXPECT_LE(t.rmsArcsec, 1.5) << "worst " << t.worstArcsec << "\"";
}

// The mount model itself, exactly: periodic error and drift in time since
// the camera was made, backlash after a reversal, and a pulse in the middle
// of an exposure trailing the star (its light centre half way) rather than
// moving it for the whole frame.
TEST(GuideLoop, MountMovesAndTrailsAsConfigured) {
  SimRig rig;
  std::string error;
  ASSERT_TRUE(sim::ParseOptions("pe_amplitude=15,pe_period=480,dec_drift=0.05,dec_backlash=200,"
                                "read_noise=1,hot_pixels=0",
                                &rig.opts, &error))
      << error;
  ASSERT_EQ(rig.Open("test:mount"), TARNCAM_OK);
  const double scale = sim::ArcsecPerPixel(rig.opts);  // 1.50 "/px
  EXPECT_NEAR(sim::GuideRatePx(rig.opts), 0.5 * 15.0411 / scale, 1e-12);
  rig.clock.Advance(120'000'000);  // a quarter period: the error at its peak
  tarncam_sim_stats st = rig.cam->Stats();
  EXPECT_NEAR(st.guide_offset_x * scale, 15.0, 1e-6);
  EXPECT_NEAR(st.guide_offset_y * scale, 6.0, 1e-6);

  // +Y then -Y 400 ms each: the reversal first spends 200 ms on the play
  // (the first +Y pulse too: the gears start at the minus contact).
  const double rate = sim::GuideRatePx(rig.opts);
  ASSERT_EQ(tarncam_guide_pulse(rig.handle, TARNCAM_GUIDE_PLUS_Y, 0, 400), TARNCAM_OK);
  rig.clock.Advance(500'000);
  ASSERT_EQ(tarncam_guide_pulse(rig.handle, TARNCAM_GUIDE_MINUS_Y, 0, 400), TARNCAM_OK);
  rig.clock.Advance(500'000);
  st = rig.cam->Stats();
  EXPECT_NEAR(st.guide_offset_y * scale, 6.0 + 0.05 * 1.0, 1e-6) << "+0.2 s and -0.2 s of motion";

  // Trailing: a 500 ms +X pulse in the middle of a 1 s exposure puts the
  // light's centre half way along the move: relative to the frame before
  // (still) and the one after (moved by the whole pulse).
  EXPECT_EQ(tarncam_set_control(rig.handle, TARNCAM_CONTROL_EXPOSURE_MS, 1000), TARNCAM_OK);
  std::vector<uint8_t> frame(752 * 480);
  const sim::Star star = rig.cam->Stars()->Stars()[0];
  auto expose = [&](bool pulseInside) {
    const tarncam_sim_stats before = rig.cam->Stats();
    rig.cam->HoldReads(pulseInside);
    EXPECT_EQ(tarncam_start_exposure(rig.handle, frame.data(), frame.size(), nullptr, nullptr),
              TARNCAM_OK);
    if (pulseInside) {
      EXPECT_TRUE(rig.cam->WaitForPendingRead());
      rig.clock.Advance(250'000);
      EXPECT_EQ(tarncam_guide_pulse(rig.handle, TARNCAM_GUIDE_PLUS_X, 500, 0), TARNCAM_OK);
      rig.clock.Advance(1'000'000);  // past the light and the readout
      rig.cam->ReleaseRead();
    }
    tarncam_frame_record r = apitest::NewRecord();
    EXPECT_EQ(tarncam_wait_frame(rig.handle, TARNCAM_WAIT_FOREVER, &r), TARNCAM_OK);
    return Centroid(frame, 752, 480, star.x + before.guide_offset_x,
                    star.y + before.guide_offset_y).first;
  };
  // (At the error's peak the mount hardly moves in X by itself.)
  const double still = expose(false);
  const double trailed = expose(true);
  const double moved = expose(false);
  EXPECT_NEAR(moved - still, 0.5 * rate, 0.2);
  EXPECT_NEAR(trailed - still, 0.5 * (0.5 * rate), 0.25) << "still " << still << ", moved " << moved;
}

}  // namespace
