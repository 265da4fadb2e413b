#pragma once
// Intel HEX -> firmware record table, the build-time half of the firmware
// download. Parsing and splitting take text and return values; they never
// touch files, so every fault a build can hit is testable from a string.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hex2fw {

// A table record carries at most this many data bytes.
inline constexpr std::size_t kMaxRecordBytes = 16;
// The library's table holds exactly this many data records before its end record.
inline constexpr std::size_t kRequiredDataRecords = 379;
// Writing this address releases the controller's CPU from reset; the download
// does that itself once every record is in, so an image must not touch it.
inline constexpr uint32_t kCpuControlRegister = 0xE600;

// Why the input was refused. `line` is 1-based; 0 means the file as a whole.
struct Fault {
  int line = 0;
  std::string what;
};

// The data of one type 00 record, as it stood in the file.
struct HexData {
  int line = 0;
  uint16_t address = 0;
  std::vector<uint8_t> bytes;
};

// One row of the generated table, mirroring the library's record fields.
struct TableRecord {
  uint8_t length = 0;  // 1..16 for data, 0 for the end record
  uint16_t address = 0;
  uint8_t type = 0;                             // 0 data, 1 end
  std::array<uint8_t, kMaxRecordBytes> data{};  // zero beyond `length`
  bool operator==(const TableRecord&) const = default;
};

struct ParsedHex {
  std::vector<HexData> data;  // file order; empty when `fault` is set
  std::optional<Fault> fault;
};

struct Conversion {
  std::vector<TableRecord> records;  // data records then the end record; empty on a fault
  std::optional<Fault> fault;
};

// Validates the whole file: record syntax, byte counts, checksums, record
// types (00 and a single, final 01 only), the 64 KiB address space, and that
// no address is written twice.
ParsedHex ParseIntelHex(std::string_view text);

// Cuts each data run into pieces of at most 16 bytes, in file order and each
// piece starting where the previous one ended, then appends the end record.
std::vector<TableRecord> SplitIntoRecords(const std::vector<HexData>& data);

// Parse, split, and insist on exactly `requiredDataRecords` data records.
Conversion ConvertIntelHex(std::string_view text,
                           std::size_t requiredDataRecords = kRequiredDataRecords);

// The C++ source that defines tarncam::FirmwareImage from `records`.
std::string EmitTableSource(const std::vector<TableRecord>& records, std::string_view sourceName);

// "file:line: what", or "file: what" for faults of the whole file.
std::string FormatFault(std::string_view file, const Fault& fault);

}  // namespace hex2fw
