#pragma once
// Shared helpers for tests on the recording fake.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fakes/recording_platform.h"
#include "exports/exports.h"
#include "usb/device.h"

namespace tarncam::testing {

// Tests drive the exported functions' behaviour on cameras of their own.
using namespace tarncam::exports;

// Opens the fake's programmed camera through the library and forgets the
// conversation, so that a test's log starts with what it does itself.
inline void OpenFresh(FakeCamera& f) {
  ASSERT_EQ(openUSB(f.cam), 1u);
  f.fake.ClearLog();
}

inline bool IsControl(const Event& e, uint8_t type, uint8_t request) {
  return e.op == Op::kControl && e.setup.requestType == type && e.setup.request == request;
}

}  // namespace tarncam::testing
