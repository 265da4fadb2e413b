// The committed stand-in image, and the table the build compiled into the
// library from TARNCAM_FIRMWARE_HEX.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <string>

#include "intel_hex.h"
#include "usb/firmware.h"

namespace {
using hex2fw::TableRecord;

std::vector<TableRecord> Convert(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  hex2fw::Conversion c = hex2fw::ConvertIntelHex(text.str());
  EXPECT_FALSE(c.fault) << hex2fw::FormatFault(path, c.fault.value_or(hex2fw::Fault{}));
  return c.records;
}

bool InAddressOrder(const std::vector<uint16_t>& addresses) {
  return std::is_sorted(addresses.begin(), addresses.end());
}

TEST(StandinImage, IsAnIdleLoopIn379RecordsOutOfAddressOrder) {
  const std::vector<TableRecord> records = Convert(TARNCAM_STANDIN_HEX);
  ASSERT_EQ(records.size(), 380u);
  EXPECT_EQ(records.back().type, 1);

  // Lay the image out as the controller would hold it; the converter already
  // refused overlaps, so count the bytes as a cross-check.
  std::array<int, 0x10000> memory;
  memory.fill(-1);
  std::vector<uint16_t> addresses;
  std::size_t loaded = 0;
  for (std::size_t i = 0; i + 1 < records.size(); ++i) {
    const TableRecord& r = records[i];
    ASSERT_EQ(r.type, 0);
    ASSERT_GE(r.length, 1);
    ASSERT_LE(r.address + r.length, 0x2000) << "outside the smallest FX2 program RAM";
    for (int b = 0; b < r.length; ++b) memory[r.address + b] = r.data[b];
    loaded += r.length;
    addresses.push_back(r.address);
  }
  EXPECT_EQ(static_cast<std::size_t>(
                std::count_if(memory.begin(), memory.end(), [](int v) { return v >= 0; })),
            loaded);
  EXPECT_FALSE(InAddressOrder(addresses));

  // Reset vector: LJMP to an SJMP $ that spins forever.
  ASSERT_EQ(memory[0x0000], 0x02);
  const int idle = memory[0x0001] << 8 | memory[0x0002];
  EXPECT_EQ(memory[idle], 0x80);
  EXPECT_EQ(memory[idle + 1], 0xFE);
  // Every interrupt vector returns at once, should one ever be taken.
  for (int vector = 0x03; vector <= 0x63; vector += 8) EXPECT_EQ(memory[vector], 0x32) << vector;

  std::string ascii;
  for (int v : memory) ascii += v > 0 ? static_cast<char>(v) : '.';
  EXPECT_NE(ascii.find("It does not run a camera."), std::string::npos);
}

TEST(CompiledTable, MatchesTheConvertedFirmwareFile) {
  const std::vector<TableRecord> want = Convert(TARNCAM_EMBEDDED_HEX);
  ASSERT_EQ(want.size(), tarncam::kFirmwareRecords);
  std::vector<uint16_t> addresses;
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    const tarncam::FirmwareRecord& got = tarncam::FirmwareImage[i];
    EXPECT_EQ(got.length, want[i].length);
    EXPECT_EQ(got.address[0] | got.address[1] << 8, want[i].address);
    EXPECT_EQ(got.type, want[i].type);
    EXPECT_TRUE(std::equal(want[i].data.begin(), want[i].data.end(), got.data));
    EXPECT_EQ(got.pad0 | got.pad1, 0);
    if (got.type == 0) {
      addresses.push_back(static_cast<uint16_t>(got.address[0] | got.address[1] << 8));
    }
  }
  EXPECT_EQ(tarncam::FirmwareImage[0].type, 0);
  const tarncam::FirmwareRecord& end = tarncam::FirmwareImage[379];
  EXPECT_EQ(end.type, 1);
  EXPECT_EQ(end.length | end.address[0] | end.address[1], 0);
  EXPECT_TRUE(
      std::all_of(std::begin(end.data), std::end(end.data), [](uint8_t b) { return b == 0; }));
  // A camera's own firmware may come in any order; ours is known to be scrambled.
  if (std::string(TARNCAM_EMBEDDED_HEX) == TARNCAM_STANDIN_HEX) {
    EXPECT_FALSE(InAddressOrder(addresses));
  }
}

}  // namespace
