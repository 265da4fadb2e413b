// The firmware converter's parser on arbitrary text. It reads whatever HEX
// file a build is pointed at, so any text must end in a table or in a
// "line: fault", never in a crash; and what it accepts must split into
// records that cover exactly the accepted bytes.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "intel_hex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const hex2fw::ParsedHex parsed = hex2fw::ParseIntelHex(text);
  if (parsed.fault) {
    FUZZ_CHECK(parsed.data.empty());
    FUZZ_CHECK(parsed.fault->line >= 0);
    FUZZ_CHECK(!hex2fw::FormatFault("in.hex", *parsed.fault).empty());
    return 0;
  }

  std::size_t bytes = 0;
  for (const hex2fw::HexData& run : parsed.data) {
    FUZZ_CHECK(!run.bytes.empty());
    FUZZ_CHECK(run.address + run.bytes.size() <= 0x10000);
    bytes += run.bytes.size();
  }
  const std::vector<hex2fw::TableRecord> records = hex2fw::SplitIntoRecords(parsed.data);
  FUZZ_CHECK(!records.empty() && records.back().type == 1 && records.back().length == 0);
  std::size_t covered = 0;
  for (std::size_t i = 0; i + 1 < records.size(); ++i) {
    const hex2fw::TableRecord& r = records[i];
    FUZZ_CHECK(r.type == 0 && r.length >= 1 && r.length <= hex2fw::kMaxRecordBytes);
    for (std::size_t k = r.length; k < r.data.size(); ++k) FUZZ_CHECK(r.data[k] == 0);
    covered += r.length;
  }
  FUZZ_CHECK(covered == bytes);

  // The whole conversion agrees with the two steps, for the count it makes.
  const hex2fw::Conversion c = hex2fw::ConvertIntelHex(text, records.size() - 1);
  FUZZ_CHECK(!c.fault && c.records == records);
  const hex2fw::Conversion wrong = hex2fw::ConvertIntelHex(text, records.size());
  FUZZ_CHECK(wrong.fault && wrong.records.empty());
  const std::string source = hex2fw::EmitTableSource(records, text.substr(0, 40));
  FUZZ_CHECK(source.find("FirmwareImage") != std::string::npos);
  return 0;
}
