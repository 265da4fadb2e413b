// tarncam: command-line client of the camera library. It drives the camera
// only through the library's exported functions, as any application would.

#include <cstdio>
#include <iostream>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/interrupt.h"

namespace tarncli {
namespace {

int Finish(const Status& s) {
  if (!s.ok() && !s.message.empty()) std::fprintf(stderr, "tarncam: %s\n", s.message.c_str());
  return static_cast<int>(s.code);
}

int Run(int argc, char** argv) {
  CommandLine line;
  if (Status s = ParseCommandLine(argc, argv, &line, std::cout, std::cerr);
      !s.ok() || line.command == Command::kNone)
    return Finish(s);

  // Only now: Ctrl-C during parsing should simply end the process.
  InstallInterruptHandler();
  switch (line.command) {
    case Command::kCapture:
      return Finish(RunCapture(line.device, line.capture));
    case Command::kStream:
      return Finish(RunStream(line.device, line.stream));
    case Command::kInfo:
      return Finish(RunInfo(line.device));
    default:
      return Finish(RunGuide(line.device, line.guide));
  }
}

}  // namespace
}  // namespace tarncli

int main(int argc, char** argv) { return tarncli::Run(argc, argv); }
