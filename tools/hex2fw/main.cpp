// hex2fw INPUT.hex OUTPUT.cpp: converts the controller firmware into the
// library's record table. Runs at build time; a refused file stops the build
// with "file:line: fault" and leaves no table behind.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include "intel_hex.h"

namespace {

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buf;
  buf << in.rdbuf();
  text = buf.str();
  return !in.bad();
}

// Writes beside the target and renames, so an interrupted run never leaves a
// half-written table that a later build would compile.
bool WriteFileAtomically(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) std::filesystem::remove(temp, ec);
  return !ec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: hex2fw INPUT.hex OUTPUT.cpp\n";
    return 2;
  }
  const std::string input = argv[1];
  const std::filesystem::path output = argv[2];

  // A refused input must not leave the table of an earlier, good input in
  // place: the build would otherwise link an image nobody asked for.
  std::error_code ignored;
  std::string text;
  if (!ReadFile(input, text)) {
    std::filesystem::remove(output, ignored);
    std::cerr << input << ": cannot read the file\n";
    return 2;
  }
  const hex2fw::Conversion result = hex2fw::ConvertIntelHex(text);
  if (result.fault) {
    std::filesystem::remove(output, ignored);
    std::cerr << hex2fw::FormatFault(input, *result.fault) << "\n";
    return 1;
  }
  if (!WriteFileAtomically(output, hex2fw::EmitTableSource(result.records, input))) {
    std::cerr << output.string() << ": cannot write the table\n";
    return 2;
  }
  return 0;
}
