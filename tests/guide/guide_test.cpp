// Guide pulses and their cancellation on the wire.

#include <gtest/gtest.h>

#include "fakes/test_helpers.h"
#include "guide/guide.h"
#include "usb/requests.h"

namespace tarncam::testing {
namespace {

uint32_t Le32(const std::vector<uint8_t>& d, int at) {
  return static_cast<uint32_t>(d[at]) | d[at + 1] << 8 | d[at + 2] << 16 |
         static_cast<uint32_t>(d[at + 3]) << 24;
}

TEST(Guide, NoDeviceSendsNothingAndReturnsOne) {
  FakeCamera f;
  EXPECT_EQ(exports::GuideCommandXY(f.cam, 1, 2, 3), 1u);
  EXPECT_EQ(exports::GuideCommand(f.cam, 1, 2), 1u);
  EXPECT_EQ(exports::CancelGuide(f.cam, 1, 1), 1u);
  EXPECT_EQ(exports::CancelGuide(f.cam, 0, 0), 1u);
  EXPECT_TRUE(f.fake.Log().empty());
}

TEST(Guide, PulsePacketScalesByTenKeepsMinusOneAndWraps) {
  struct Case {
    int32_t first, second;
    uint32_t sentFirst, sentSecond;
  };
  const Case cases[] = {
      {100, -1, 1000, 0xFFFFFFFF},
      {0, -2, 0, static_cast<uint32_t>(-20)},
      {0x7FFFFFFF, 429496730, 0xFFFFFFF6, 4},  // 32-bit wrap
      {-1, -1, 0xFFFFFFFF, 0xFFFFFFFF},
  };
  FakeCamera f;
  OpenFresh(f);
  for (const Case& c : cases) {
    f.fake.ClearLog();
    EXPECT_EQ(exports::GuideCommandXY(f.cam, 0x12345, c.first, c.second), 0u);
    const auto log = f.fake.Controls();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.requestType, 0x40);
    EXPECT_EQ(log[0].setup.request, 0x10);
    EXPECT_EQ(log[0].setup.index, 0x2345);  // low 16 bits of the direction
    EXPECT_EQ(log[0].setup.value, 0);
    EXPECT_EQ(log[0].setup.length, 8);
    ASSERT_EQ(log[0].data.size(), 8u);
    EXPECT_EQ(Le32(log[0].data, 0), c.sentFirst);
    EXPECT_EQ(Le32(log[0].data, 4), c.sentSecond);
  }
  f.fake.ClearLog();
  EXPECT_EQ(exports::GuideCommand(f.cam, 3, 25), 0u);
  const auto log = f.fake.Controls();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(Le32(log[0].data, 0), 250u);
  EXPECT_EQ(Le32(log[0].data, 4), 250u);
  // A failed transfer is not reported.
  f.fake.controlFails = true;
  EXPECT_EQ(exports::GuideCommand(f.cam, 3, 25), 0u);
}

TEST(Guide, CancelChoosesOneInRequestFromTheFlags) {
  FakeCamera f;
  OpenFresh(f);
  struct Case {
    uint32_t first, second;
    int request;  // -1: none
  };
  for (const Case& c : {Case{1, 1, 0x18}, Case{7, 0, 0x21}, Case{0, 0x80000000, 0x22},
                        Case{0, 0, -1}}) {
    f.fake.ClearLog();
    EXPECT_EQ(exports::CancelGuide(f.cam, c.first, c.second), 0u);
    const auto log = f.fake.Controls();
    if (c.request < 0) {
      EXPECT_TRUE(log.empty());
      continue;
    }
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.requestType, 0xC0);
    EXPECT_EQ(log[0].setup.request, c.request);
    EXPECT_EQ(log[0].setup.value, 0);
    EXPECT_EQ(log[0].setup.index, 0);
    EXPECT_EQ(log[0].setup.length, 2);
  }
}

}  // namespace
}  // namespace tarncam::testing
