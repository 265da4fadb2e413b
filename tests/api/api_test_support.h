#pragma once
// Helpers of the camera API tests: a simulated camera on a virtual clock the
// test holds, opened through the API, and checks of frames and statuses.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "api/internal.h"
#include "sim/sim_camera.h"
#include "tarncam/tarncam_camera.h"

namespace apitest {

// A simulated camera the test can reach into (held reads, unplugging,
// counters), opened as a camera API handle on its own virtual clock.
struct SimRig {
  sim::Options opts = [] {
    sim::Options o = sim::DefaultOptions();
    o.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
    return o;
  }();
  sim::VirtualClock clock;
  std::unique_ptr<sim::SimCamera> cam;
  std::unique_ptr<sim::SimSystem> sys;
  tarncam_camera* handle = nullptr;

  tarncam_status Open(const char* id) {
    cam = std::make_unique<sim::SimCamera>(opts, clock);
    sys = std::make_unique<sim::SimSystem>(clock);
    return tarncam::api::OpenOnPlatform({cam.get(), sys.get()}, sim::SimCamera::kPath, id, &handle);
  }
  ~SimRig() {
    if (handle != nullptr) tarncam_close(handle);
  }
};

inline tarncam_frame_record NewRecord() {
  tarncam_frame_record r{};
  r.struct_size = sizeof r;
  return r;
}

// Checks a status, and that tarncam_last_error tells the same with a message
// for a failure.
inline ::testing::AssertionResult Is(tarncam_status want, tarncam_status got) {
  tarncam_error_detail d{};
  d.struct_size = sizeof d;
  tarncam_last_error(&d);
  if (got != want || d.status != got || (got != TARNCAM_OK) != (d.message[0] != '\0')) {
    return ::testing::AssertionFailure()
           << "got " << got << " (" << tarncam_status_text(got) << "), want " << want << " ("
           << tarncam_status_text(want) << "); last error " << d.status << " '" << d.message << "'";
  }
  return ::testing::AssertionSuccess();
}

// The first `rows` rows of a w x h frame hold the test pattern's window (50
// columns in for widths 376 and 400), the rows after them zero.
inline ::testing::AssertionResult HoldsPattern(const uint8_t* frame, uint32_t w, uint32_t h,
                                               bool ten, uint32_t rows) {
  const uint32_t skip = (w == 376 || w == 400) ? 50 : 0;
  for (uint32_t r = 0; r < h; ++r)
    for (uint32_t c = 0; c < w; ++c) {
      const size_t i = size_t{r} * w + c;
      const uint32_t got =
          ten ? uint32_t{frame[2 * i]} | uint32_t{frame[2 * i + 1]} << 8 : frame[i];
      const uint32_t want = r < rows ? sim::TestPatternSample(r, c + skip, ten) : 0;
      if (got != want)
        return ::testing::AssertionFailure()
               << "row " << r << " col " << c << ": " << got << " want " << want;
    }
  return ::testing::AssertionSuccess();
}

}  // namespace apitest
