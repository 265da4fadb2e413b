#pragma once
// Outcome of a tool step: an exit code and, on failure, the message the user
// sees. The tool uses no exceptions of its own; every step hands one of these
// back to main, which prints the message and exits with the code.

#include <string>
#include <utility>

namespace tarncli {

// Exit codes, also listed in `tarncam --help` and docs/cli.md.
enum class ExitCode : int {
  kOk = 0,
  kFailure = 1,        // the camera or the system failed at run time
  kBadArguments = 2,   // the command line cannot be carried out
  kNoCamera = 3,       // no camera answered (and the simulator was not chosen)
  kWrongFirmware = 4,  // a camera answered with firmware this library does not drive
  kNotWritable = 5,    // an output file cannot be created
  kUnavailable = 6,    // a camera is there but cannot be used: no permission, or in use
  kInterrupted = 130,  // Ctrl-C or SIGTERM; the shell's convention for SIGINT
};

struct Status {
  ExitCode code = ExitCode::kOk;
  std::string message;

  bool ok() const { return code == ExitCode::kOk; }
  static Status Ok() { return {}; }
  static Status Error(ExitCode code, std::string message) { return {code, std::move(message)}; }
};

}  // namespace tarncli
