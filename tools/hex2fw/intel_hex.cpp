#include "intel_hex.h"

#include <algorithm>
#include <cstdio>

namespace hex2fw {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Hex(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

// A character quoted for a message; control and non-ASCII bytes as their code,
// so a stray byte in a file shows up legibly in the build log.
std::string Quoted(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x20 && u < 0x7F) return std::string("'") + c + "'";
  return "byte " + Hex(u, 2);
}

bool IsTrailingSpace(char c) { return c == '\r' || c == ' ' || c == '\t'; }

std::string RefusedType(unsigned type) {
  // The controller is an 8051: one flat 64 KiB code/data space entered through
  // its reset vector. Segment, linear and start addresses mean nothing there,
  // and a tool that emits them was built for another target.
  const char* what = nullptr;
  switch (type) {
    case 2:
      what = "extended segment address";
      break;
    case 3:
      what = "start segment address";
      break;
    case 4:
      what = "extended linear address";
      break;
    case 5:
      what = "start linear address";
      break;
    default:
      return "unknown record type " + Hex(type, 2) + " (only 00 data and 01 end are valid)";
  }
  return "record type " + Hex(type, 2) + " (" + what +
         ") is not supported: the controller is an 8051 with a flat 64 KiB address space, "
         "so extended addressing and start addresses have no meaning for it";
}

}  // namespace

ParsedHex ParseIntelHex(std::string_view text) {
  ParsedHex out;
  // For each address, the line that wrote it (0: not yet written), so an
  // overlap names both places.
  std::vector<int> writtenBy(0x10000, 0);
  bool ended = false;
  int blankLine = 0;  // first blank line not yet followed by a record
  int line = 0;

  // Every refusal goes through here: the first fault ends the parse, and no
  // partial data escapes with it.
  auto fail = [&out](int at, std::string what) {
    out.data.clear();
    out.fault = Fault{at, std::move(what)};
    return out;
  };

  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t eol = text.find('\n', pos);
    std::string_view raw = text.substr(pos, eol == std::string_view::npos ? eol : eol - pos);
    pos = eol == std::string_view::npos ? text.size() : eol + 1;
    ++line;

    // CRLF files and stray trailing blanks are common and harmless.
    while (!raw.empty() && IsTrailingSpace(raw.back())) raw.remove_suffix(1);
    if (raw.empty()) {
      // Blank lines are tolerated only at the end of the file; one between
      // records suggests two files pasted together or a truncated edit.
      if (!ended && blankLine == 0) blankLine = line;
      continue;
    }
    if (ended) return fail(line, "record after the end record (type 01), which must be the last");
    if (blankLine != 0) return fail(blankLine, "blank line between records");

    // Syntax before meaning: a stray character is reported as itself rather
    // than as the odd count or bad checksum it would cause further on.
    if (raw[0] != ':') return fail(line, "line does not start with ':' but with " + Quoted(raw[0]));
    const std::string_view digits = raw.substr(1);
    for (std::size_t i = 0; i < digits.size(); ++i) {
      if (HexValue(digits[i]) < 0) {
        return fail(line, Quoted(digits[i]) + " at column " + std::to_string(i + 2) +
                              " is not a hex digit");
      }
    }
    if (digits.size() % 2 != 0) {
      return fail(line, "odd number of hex digits (" + std::to_string(digits.size()) + ")");
    }
    std::vector<uint8_t> bytes(digits.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>(HexValue(digits[2 * i]) << 4 | HexValue(digits[2 * i + 1]));
    }
    // Byte count, two address bytes, type and checksum frame every record.
    if (bytes.size() < 5) {
      return fail(line, "record too short: " + std::to_string(bytes.size()) +
                            " bytes, fewer than the 5 of an empty record");
    }
    const std::size_t count = bytes[0];
    if (bytes.size() != count + 5) {
      return fail(line, "byte count " + Hex(count, 2) + " says " + std::to_string(count) +
                            " data bytes, but the record holds " +
                            std::to_string(bytes.size() - 5));
    }
    // All bytes of a record, checksum included, sum to 0 modulo 256. Report
    // the value that would fit, which helps tell a typo from a corrupt line.
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
    if (bytes.back() != expected) {
      return fail(line, "checksum mismatch: the record says " + Hex(bytes.back(), 2) +
                            ", its bytes need " + Hex(expected, 2));
    }

    const uint32_t address = static_cast<uint32_t>(bytes[1]) << 8 | bytes[2];
    const unsigned type = bytes[3];
    // The end record's address field is traditionally 0000 but carries no
    // meaning, so any value is accepted there.
    if (type == 1) {
      if (count != 0) {
        return fail(line, "end record (type 01) carries " + std::to_string(count) + " data bytes");
      }
      ended = true;
      continue;
    }
    if (type != 0) return fail(line, RefusedType(type));
    if (count == 0) continue;  // an empty data record writes nothing
    if (address + count > 0x10000) {
      return fail(line, "data at " + Hex(address, 4) + " (" + std::to_string(count) +
                            " bytes) runs past 0xFFFF, the end of the controller's 64 KiB");
    }
    // Byte by byte, so partial overlaps are caught as surely as repeated
    // lines; the download writes records in order, and a second write to an
    // address would silently replace code the first record put there.
    for (uint32_t a = address; a < address + count; ++a) {
      if (a == kCpuControlRegister) {
        return fail(line, "data at " + Hex(a, 4) +
                              ", the CPU control register: writing it during the download would "
                              "start the CPU on a half-loaded program");
      }
      if (writtenBy[a] != 0) {
        return fail(line, "address " + Hex(a, 4) + " is already covered by line " +
                              std::to_string(writtenBy[a]));
      }
      writtenBy[a] = line;
    }
    out.data.push_back(HexData{line, static_cast<uint16_t>(address),
                               std::vector<uint8_t>(bytes.begin() + 4, bytes.end() - 1)});
  }
  if (!ended) {
    return fail(std::max(line, 1), "no end record (type 01): the file ends without one");
  }
  return out;
}

std::vector<TableRecord> SplitIntoRecords(const std::vector<HexData>& data) {
  // Pieces are not aligned to 16-byte boundaries: the controller takes a
  // write of any length at any address, and cutting at the run's own start
  // keeps the record count predictable from the file (ceil(bytes / 16) per line).
  std::vector<TableRecord> records;
  for (const HexData& run : data) {
    for (std::size_t at = 0; at < run.bytes.size(); at += kMaxRecordBytes) {
      TableRecord r;
      r.length = static_cast<uint8_t>(std::min(kMaxRecordBytes, run.bytes.size() - at));
      r.address = static_cast<uint16_t>(run.address + at);
      r.type = 0;
      std::copy_n(run.bytes.begin() + static_cast<std::ptrdiff_t>(at), r.length, r.data.begin());
      records.push_back(r);
    }
  }
  TableRecord end;
  end.type = 1;
  records.push_back(end);
  return records;
}

Conversion ConvertIntelHex(std::string_view text, std::size_t requiredDataRecords) {
  Conversion out;
  ParsedHex parsed = ParseIntelHex(text);
  if (parsed.fault) {
    out.fault = std::move(parsed.fault);
    return out;
  }
  std::vector<TableRecord> records = SplitIntoRecords(parsed.data);
  const std::size_t found = records.size() - 1;
  if (found != requiredDataRecords) {
    // The table's size is part of the library's interface, so a different
    // image cannot simply be embedded with fewer or more records.
    out.fault = Fault{0, "the image makes " + std::to_string(found) +
                             " data records of at most 16 bytes, but the firmware table needs "
                             "exactly " +
                             std::to_string(requiredDataRecords)};
    return out;
  }
  out.records = std::move(records);
  return out;
}

std::string EmitTableSource(const std::vector<TableRecord>& records, std::string_view sourceName) {
  // The banner quotes the input's name; keep control characters out of the comment.
  std::string name(sourceName);
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  std::string out;
  out += "// generated by hex2fw from " + name + "; do not edit\n";
  out += "// Records in the order of the HEX file, which is the order they are sent in.\n";
  out += "#include \"usb/firmware.h\"\n\nnamespace tarncam {\n\n";
  // Aggregate initialisers in field order; the pads stay 0. All 16 data bytes
  // are spelled out so the table reads the same as the bytes it holds.
  out += "const FirmwareRecord FirmwareImage[kFirmwareRecords] = {\n";
  char buf[32];
  for (const TableRecord& r : records) {
    std::snprintf(buf, sizeof buf, "%u", r.length);
    out += "    {";
    out += buf;
    std::snprintf(buf, sizeof buf, ", 0, {0x%02X, 0x%02X}, ", r.address & 0xFF, r.address >> 8);
    out += buf;
    out += std::to_string(r.type) + ", {";
    for (std::size_t i = 0; i < r.data.size(); ++i) {
      std::snprintf(buf, sizeof buf, i == 0 ? "0x%02X" : ",0x%02X", r.data[i]);
      out += buf;
    }
    out += "}, 0},\n";
  }
  out += "};\n\n}  // namespace tarncam\n";
  return out;
}

std::string FormatFault(std::string_view file, const Fault& fault) {
  std::string out(file);
  if (fault.line > 0) {
    out += ':';
    out += std::to_string(fault.line);
  }
  out += ": ";
  out += fault.what;
  return out;
}

}  // namespace hex2fw
