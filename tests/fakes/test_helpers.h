#pragma once
// Shared helpers for tests on the recording fake.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "exports/exports.h"
#include "fakes/recording_platform.h"
#include "usb/device.h"

namespace tarncam::testing {

// Opens the fake's programmed camera through the core and forgets the
// conversation, so that a test's log starts with what it does itself.
inline void OpenFresh(FakeCamera& f) {
  ASSERT_EQ(OpenCamera(f.cam, nullptr).status, OpenStatus::kOpened);
  f.fake.ClearLog();
}

inline bool IsControl(const Event& e, uint8_t type, uint8_t request) {
  return e.op == Op::kControl && e.setup.requestType == type && e.setup.request == request;
}

}  // namespace tarncam::testing
