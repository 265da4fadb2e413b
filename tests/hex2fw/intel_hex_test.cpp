// The converter's parsing, splitting and refusals, fed from strings.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "intel_hex.h"

namespace {
using namespace hex2fw;

// One well-formed HEX line with its checksum.
std::string Line(uint16_t address, uint8_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  bytes.push_back(static_cast<uint8_t>(-sum));
  std::string out = ":";
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out + "\n";
}

std::vector<uint8_t> Bytes(std::size_t n, uint8_t first) {
  std::vector<uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

const std::string kEnd = ":00000001FF\n";

Fault FaultOf(const std::string& text) {
  ParsedHex parsed = ParseIntelHex(text);
  EXPECT_TRUE(parsed.data.empty());
  return parsed.fault.value_or(Fault{-1, "accepted"});
}

TEST(IntelHex, SplitsLongRecordsIntoSixteenByteRecordsInFileOrder) {
  const std::string text =
      Line(0x0100, 0, Bytes(40, 0x10)) + Line(0x0010, 0, Bytes(3, 0xA0)) + kEnd;
  ParsedHex parsed = ParseIntelHex(text);
  ASSERT_FALSE(parsed.fault) << parsed.fault->what;
  const std::vector<TableRecord> records = SplitIntoRecords(parsed.data);
  ASSERT_EQ(records.size(), 5u);
  const struct {
    uint8_t length;
    uint16_t address;
    uint8_t first;
  } want[] = {{16, 0x0100, 0x10}, {16, 0x0110, 0x20}, {8, 0x0120, 0x30}, {3, 0x0010, 0xA0}};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i].type, 0);
    EXPECT_EQ(records[i].length, want[i].length);
    EXPECT_EQ(records[i].address, want[i].address);
    for (std::size_t b = 0; b < 16; ++b)
      EXPECT_EQ(records[i].data[b], b < want[i].length ? uint8_t(want[i].first + b) : 0);
  }
  EXPECT_EQ(records[4], (TableRecord{0, 0, 1, {}}));
}

TEST(IntelHex, AcceptsCommonHarmlessVariations) {
  // Lower-case digits, CRLF, trailing blanks, an empty data record (writes
  // nothing) and blank lines after the end record.
  std::string first = Line(0x0000, 0, {0xAB, 0xCD});
  for (char& c : first) c = static_cast<char>(std::tolower(c));
  first.insert(first.size() - 1, " \r");
  const std::string text = first + Line(0x0040, 0, {}) + Line(0x0002, 0, {1}) + kEnd + "\n\r\n";
  ParsedHex parsed = ParseIntelHex(text);
  ASSERT_FALSE(parsed.fault) << parsed.fault->what;
  ASSERT_EQ(parsed.data.size(), 2u);
  EXPECT_EQ(parsed.data[0].bytes, (std::vector<uint8_t>{0xAB, 0xCD}));
  EXPECT_EQ(parsed.data[1].line, 3);
}

TEST(IntelHex, RefusesMalformedRecordsNamingLineAndFault) {
  const std::string good = Line(0x0000, 0, {1, 2, 3, 4});
  const struct {
    std::string text;
    int line;
    const char* fault;
  } cases[] = {
      {good + ":0400100001020304E5\n" + kEnd, 2,
       "checksum mismatch: the record says 0xE5, its bytes need 0xE2"},
      {good + ":04001000010G0304E2\n" + kEnd, 2, "'G' at column 13 is not a hex digit"},
      {good + "0400100001020304E2\n" + kEnd, 2, "does not start with ':'"},
      {good + ":0400100001020304E\n" + kEnd, 2, "odd number of hex digits"},
      {good + ":04001000010203E5\n" + kEnd, 2, "says 4 data bytes, but the record holds 3"},
      {good + ":000000\n" + kEnd, 2, "record too short"},
      {good + Line(0, 2, {0x10, 0x00}) + kEnd, 2, "type 0x02 (extended segment address)"},
      {good + Line(0, 3, {0, 0, 0, 0}) + kEnd, 2, "flat 64 KiB address space"},
      {good + Line(0, 4, {0x00, 0x01}) + kEnd, 2, "type 0x04 (extended linear address)"},
      {good + Line(0, 5, {0, 0, 0, 0}) + kEnd, 2, "type 0x05 (start linear address)"},
      {good + Line(0, 6, {}) + kEnd, 2, "unknown record type 0x06"},
      {good + Line(0, 1, {0}), 2, "end record (type 01) carries 1 data bytes"},
      {good + Line(0xFFF8, 0, Bytes(9, 0)) + kEnd, 2, "runs past 0xFFFF"},
      {good + Line(0xE5F0, 0, Bytes(32, 0)) + kEnd, 2, "0xE600, the CPU control register"},
      {good + "\n" + Line(0x10, 0, {1}) + kEnd, 2, "blank line between records"},
      {good + kEnd + Line(0x10, 0, {1}), 3, "record after the end record"},
      {good + Line(0x10, 0, {1}), 2, "no end record"},
      {good + Line(0x10, 0, {1}) + "\n\n", 4, "no end record"},
      {"", 1, "no end record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Fault fault = FaultOf(c.text);
    EXPECT_EQ(fault.line, c.line);
    EXPECT_NE(fault.what.find(c.fault), std::string::npos) << fault.what;
  }
}

TEST(IntelHex, RefusesAnyAddressCoveredTwice) {
  const std::string long40 = Line(0x0100, 0, Bytes(40, 0));
  const struct {
    std::string text;
    int line;
    const char* fault;
  } cases[] = {
      {long40 + Line(0x0100, 0, Bytes(40, 0)) + kEnd, 2,
       "address 0x0100 is already covered by line 1"},
      {Line(0x0100, 0, Bytes(16, 0)) + Line(0x010F, 0, {1, 2}) + kEnd, 2, "address 0x010F"},
      {Line(0x0200, 0, {1}) + long40 + Line(0x0127, 0, {1}) + kEnd, 3,
       "0x0127 is already covered by line 2"},
      {Line(0x0110, 0, {1}) + long40 + kEnd, 2, "0x0110 is already covered by line 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Fault fault = FaultOf(c.text);
    EXPECT_EQ(fault.line, c.line);
    EXPECT_NE(fault.what.find(c.fault), std::string::npos) << fault.what;
  }
  // Touching is not overlapping.
  EXPECT_FALSE(ParseIntelHex(long40 + Line(0x0128, 0, {1}) + Line(0x00FF, 0, {1}) + kEnd).fault);
}

TEST(IntelHex, ConversionNeedsExactlyTheTableSize) {
  auto image = [](int sixteens, bool withLong) {
    std::string text = withLong ? Line(0xF000, 0, Bytes(40, 0)) : "";  // three records
    for (int i = 0; i < sixteens; ++i) text += Line(static_cast<uint16_t>(i * 16), 0, Bytes(16, 0));
    return text + kEnd;
  };
  EXPECT_FALSE(ConvertIntelHex(image(376, true)).fault);
  EXPECT_EQ(ConvertIntelHex(image(379, false)).records.size(), 380u);
  for (const auto& [text, found] : {std::pair{image(378, false), 378}, {image(377, true), 380}}) {
    const Conversion c = ConvertIntelHex(text);
    ASSERT_TRUE(c.fault);
    EXPECT_TRUE(c.records.empty());
    EXPECT_EQ(FormatFault("x.hex", *c.fault),
              "x.hex: the image makes " + std::to_string(found) +
                  " data records of at most 16 bytes, but the firmware table needs exactly 379");
  }
  // Faults inside the file keep their line through the conversion.
  EXPECT_EQ(FormatFault("x.hex", *ConvertIntelHex(":00000001FE\n").fault),
            "x.hex:1: checksum mismatch: the record says 0xFE, its bytes need 0xFF");
}

}  // namespace
