#pragma once
// The tool's command line: CLI11 turns argv into the settings of one
// subcommand. Kept apart from main() so that the parse can be driven with
// any argument list (tests, the fuzzer) without running a command.

#include <iosfwd>

#include "cli/options.h"
#include "cli/status.h"

namespace tarncli {

enum class Command { kNone, kCapture, kStream, kInfo, kGuide };

struct CommandLine {
  Command command = Command::kNone;  // kNone: nothing to run (help was printed)
  DeviceOptions device;
  CaptureOptions capture;
  StreamOptions stream;
  GuideOptions guide;
};

// Parses the arguments. A parse error or a help request is answered on `out`
// and `err` as CLI11 answers it; the result then has an empty message and
// the exit code to use (0 after help, kBadArguments after an error), with
// `line->command` kNone. Values with a syntax of their own (the window) are
// checked here too; their faults come back with a message for the caller to
// print.
Status ParseCommandLine(int argc, const char* const* argv, CommandLine* line, std::ostream& out,
                        std::ostream& err);

}  // namespace tarncli
