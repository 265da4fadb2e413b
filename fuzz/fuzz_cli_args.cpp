// The tool's command line on arbitrary arguments: every list must end in a
// parse result or an exit code with a message, never in a crash or an
// escaping exception, and what is accepted must lie within the ranges the
// options promise.
//
// Input: the arguments after the program name, separated by NUL bytes.

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "fuzz_check.h"

namespace {

constexpr std::size_t kMaxArgs = 24;

void CheckExposure(const tarncli::ExposureSettings& e) {
  FUZZ_CHECK(e.exposureMs <= 3'600'000);
  FUZZ_CHECK(e.gain <= 100);
  FUZZ_CHECK(e.bits == 8 || e.bits == 10);
  FUZZ_CHECK(e.window.width >= 1 && e.window.width <= tarncli::kSensorWidth);
  FUZZ_CHECK(e.window.height >= 1 && e.window.height <= tarncli::kSensorHeight);
  tarncli::CheckExposureSettings(e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"tarncam"};
  std::string cur;
  for (std::size_t i = 0; i < size && args.size() < kMaxArgs; ++i) {
    if (data[i] == 0) {
      args.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(data[i]);
    }
  }
  if (!cur.empty() && args.size() < kMaxArgs) args.push_back(cur);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  std::ostringstream out, err;
  tarncli::CommandLine line;
  const tarncli::Status s = tarncli::ParseCommandLine(static_cast<int>(args.size()), argv.data(),
                                                      &line, out, err);
  if (!s.ok()) {
    FUZZ_CHECK(s.code == tarncli::ExitCode::kBadArguments);
    FUZZ_CHECK(line.command == tarncli::Command::kNone || !s.message.empty());
    return 0;
  }
  switch (line.command) {
    case tarncli::Command::kCapture:
      CheckExposure(line.capture.exposure);
      FUZZ_CHECK(line.capture.count >= 1 && line.capture.count <= 100'000);
      FUZZ_CHECK(line.capture.intervalMs <= 86'400'000);
      break;
    case tarncli::Command::kStream:
      CheckExposure(line.stream.exposure);
      FUZZ_CHECK(line.stream.count >= 1 && line.stream.count <= 1'000'000);
      break;
    case tarncli::Command::kGuide: {
      tarncli::GuidePulse pulse;
      const tarncli::Status g = tarncli::BuildGuidePulse(line.guide, &pulse);
      if (g.ok()) {
        FUZZ_CHECK(pulse.direction <= 0xFFFF);
        FUZZ_CHECK(pulse.xMs >= -1 && pulse.xMs <= 3'600'000);
        FUZZ_CHECK(pulse.yMs >= -1 && pulse.yMs <= 3'600'000);
      }
      break;
    }
    default:
      break;
  }
  return 0;
}
