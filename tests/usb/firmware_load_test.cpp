// The firmware download: register writes around the records, sent in table
// order, each with exactly its own bytes.

#include <gtest/gtest.h>

#include <vector>

#include "fakes/test_helpers.h"
#include "usb/firmware.h"
#include "usb/requests.h"

namespace tarncam::testing {
namespace {

FirmwareRecord Data(uint16_t address, std::vector<uint8_t> bytes) {
  FirmwareRecord r{};
  r.length = static_cast<uint8_t>(bytes.size());
  r.address[0] = static_cast<uint8_t>(address);
  r.address[1] = static_cast<uint8_t>(address >> 8);
  for (std::size_t i = 0; i < bytes.size(); ++i) r.data[i] = bytes[i];
  return r;
}

FirmwareRecord End() {
  FirmwareRecord r{};
  r.type = 1;
  return r;
}

TEST(LoadFirmware, HoldsResetSendsRecordsInTableOrderThenReleases) {
  FakeCamera f;
  OpenFresh(f);
  FirmwareRecord sixteen = Data(0x0100, {});
  sixteen.length = 16;
  for (int i = 0; i < 16; ++i) sixteen.data[i] = static_cast<uint8_t>(0xA0 + i);
  FirmwareRecord one = Data(0x0000, {0x02});
  one.data[1] = 0xEE;  // beyond its length: never sent
  const FirmwareRecord table[] = {sixteen, one, Data(0x3FF0, {1, 2, 3}), End(),
                                  Data(0x2000, {9})};
  LoadFirmware(f.cam, table);

  const auto log = f.fake.Log();
  std::vector<Event> c = f.fake.Controls();
  ASSERT_EQ(c.size(), 5u);
  for (const Event& e : c) {
    EXPECT_EQ(e.setup.requestType, 0x40);
    EXPECT_EQ(e.setup.request, 0xA0);
    EXPECT_EQ(e.setup.index, 0);
  }
  EXPECT_EQ(c[0].setup.value, 0xE600);
  EXPECT_EQ(c[0].data, Bytes({0x01}));
  EXPECT_EQ(c[1].setup.value, 0x0100);
  EXPECT_EQ(c[1].data.size(), 16u);
  EXPECT_EQ(c[1].data[15], 0xAF);
  EXPECT_EQ(c[2].setup.value, 0x0000);
  EXPECT_EQ(c[2].data, Bytes({0x02}));
  EXPECT_EQ(c[3].setup.value, 0x3FF0);
  EXPECT_EQ(c[3].data, Bytes({1, 2, 3}));
  EXPECT_EQ(c[4].setup.value, 0xE600);
  EXPECT_EQ(c[4].data, Bytes({0x00}));
  // 100 ms after the hold and before the release.
  ASSERT_EQ(log.size(), 7u);
  EXPECT_EQ(log[1].op, Op::kSleep);
  EXPECT_EQ(log[1].value, 100u);
  EXPECT_EQ(log[5].op, Op::kSleep);
  EXPECT_EQ(log[5].value, 100u);
}

TEST(LoadFirmware, ANonDataFirstRecordLeavesOnlyTheRegisterWrites) {
  FakeCamera f;
  OpenFresh(f);
  FirmwareRecord odd = Data(0x10, {1});
  odd.type = 7;  // not data, not end: still ends the walk
  for (const FirmwareRecord& first : {End(), odd}) {
    f.fake.ClearLog();
    const FirmwareRecord table[] = {first, Data(0x20, {2})};
    LoadFirmware(f.cam, table);
    const auto c = f.fake.Controls();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].data, Bytes({0x01}));
    EXPECT_EQ(c[1].data, Bytes({0x00}));
  }
}

TEST(LoadFirmware, EmbeddedImageSends379RecordsBetweenTheRegisterWrites) {
  FakeCamera f;
  OpenFresh(f);
  LoadFirmware(f.cam);
  const auto c = f.fake.Controls();
  ASSERT_EQ(c.size(), 381u);
  EXPECT_EQ(c.front().data, Bytes({0x01}));
  EXPECT_EQ(c.back().data, Bytes({0x00}));
  for (std::size_t i = 1; i < 380; ++i) {
    const FirmwareRecord& r = FirmwareImage[i - 1];
    EXPECT_EQ(c[i].setup.value, r.address[0] | r.address[1] << 8) << i;
    EXPECT_EQ(c[i].data, std::vector<uint8_t>(r.data, r.data + r.length)) << i;
  }
  const FirmwareRecord& last = FirmwareImage[kFirmwareRecords - 1];
  EXPECT_EQ(last.type, 1);
  EXPECT_EQ(last.length, 0);
}

}  // namespace
}  // namespace tarncam::testing
