#include "cli/command_line.h"

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>

namespace tarncli {
namespace {

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0    success\n"
    "  1    the camera or the system failed (no frame, a write error)\n"
    "  2    bad arguments\n"
    "  3    no camera found\n"
    "  4    the camera runs firmware this library does not drive\n"
    "  5    an output file cannot be created\n"
    "  130  interrupted (Ctrl-C, SIGTERM); no partial file is left\n"
    "\n"
    "Without a camera (or with --simulator) the library's built-in simulator is used.";

// Every command chooses its camera the same way, so each takes the same
// device options (after the subcommand name, where users put them).
void AddDeviceOptions(CLI::App* cmd, DeviceOptions& d) {
  cmd->add_flag("--simulator", d.forceSimulator,
                "Use the built-in simulator even if a camera "
                "is connected");
  cmd->add_flag("--colour,--color", d.colour,
                "Treat the camera as a colour (Bayer) camera even if it does not say so");
  const char* group = "Simulator";
  cmd->add_flag("--sim-colour,--sim-color", d.simColour, "Simulate a colour camera")->group(group);
  cmd->add_option("--sim-scene", d.simScene, "stars (default) or test-pattern")
      ->check(CLI::IsMember({"stars", "test-pattern"}))
      ->group(group);
  cmd->add_option("--sim-seed", d.simSeed, "Seed of the star field and its noise")->group(group);
  cmd->add_flag("--sim-blank", d.simBlank,
                "The simulated camera starts without firmware (the open loads it)")
      ->group(group);
  cmd->add_flag("--sim-absent", d.simAbsent, "The simulated camera is unplugged")->group(group);
  cmd->add_option_function<uint32_t>(
         "--sim-firmware-version", [&d](const uint32_t& v) { d.simFirmwareVersion = v; },
         "Firmware version the simulated camera reports")
      ->group(group);
  cmd->add_option("--sim-fail-reads", d.simFailReads,
                  "The first N bulk reads fail (the library retries after a 3.5 s reset)")
      ->group(group);
  cmd->add_flag("--sim-timeout-reads", d.simTimeoutReads, "Every bulk read runs into its timeout")
      ->group(group);
}

void AddExposureOptions(CLI::App* cmd, ExposureSettings& e, std::string& window) {
  cmd->add_option("-e,--exposure", e.exposureMs, "Exposure in milliseconds")
      ->check(CLI::Range(0u, 3'600'000u))
      ->capture_default_str();
  cmd->add_option("-g,--gain", e.gain, "Gain, 0 to 100")
      ->check(CLI::Range(0u, 100u))
      ->capture_default_str();
  cmd->add_option("-w,--window", window, "Window WIDTHxHEIGHT, centred vertically (752x480)");
  cmd->add_option("-b,--bits", e.bits, "Sample depth: 8 or 10")
      ->check(CLI::IsMember({8u, 10u}))
      ->capture_default_str();
  cmd->add_flag("--flip-h", e.flipHorizontal, "Flip the readout horizontally");
  cmd->add_flag("--flip-v", e.flipVertical, "Flip the readout vertically");
}

}  // namespace

Status ParseCommandLine(int argc, const char* const* argv, CommandLine* line, std::ostream& out,
                        std::ostream& err) {
  *line = CommandLine{};
  CLI::App app{"tarncam: capture, stream and guide with the camera (or its simulator)", "tarncam"};
  app.require_subcommand(1, 1);
  app.footer(kExitCodes);

  DeviceOptions& device = line->device;
  CaptureOptions& capture = line->capture;
  StreamOptions& stream = line->stream;
  GuideOptions& guide = line->guide;
  std::string captureWindow, streamWindow, format = "both";

  CLI::App* cap = app.add_subcommand("capture", "Take frames and write FITS and PNG files");
  AddDeviceOptions(cap, device);
  AddExposureOptions(cap, capture.exposure, captureWindow);
  cap->add_option("-n,--count", capture.count, "Number of frames")->check(CLI::Range(1u, 100'000u));
  cap->add_option("-i,--interval", capture.intervalMs,
                  "Start-to-start spacing of frames in milliseconds (0: back to back)")
      ->check(CLI::Range(0u, 86'400'000u));
  cap->add_option("-o,--output", capture.output,
                  "Output path prefix; .fits and .png are appended, with -0001, -0002, ... "
                  "for more than one frame. A directory means DIR/capture")
      ->capture_default_str();
  cap->add_option("-f,--format", format, "fits, png or both")
      ->check(CLI::IsMember({"fits", "png", "both"}))
      ->capture_default_str();
  cap->add_flag("--demosaic", capture.demosaic,
                "Write colour frames as RGB images (one row shorter) instead of the raw mosaic");
  cap->add_flag("-q,--quiet", capture.quiet, "No progress output");

  CLI::App* str = app.add_subcommand("stream", "Take frames back to back and report the rate");
  AddDeviceOptions(str, device);
  AddExposureOptions(str, stream.exposure, streamWindow);
  str->add_option("-n,--count", stream.count, "Number of frames")
      ->check(CLI::Range(1u, 1'000'000u))
      ->capture_default_str();
  str->add_flag("--per-frame", stream.perFrame, "Print a line for every frame");

  CLI::App* info = app.add_subcommand("info", "Show the camera, its firmware and the library");
  AddDeviceOptions(info, device);

  CLI::App* gd = app.add_subcommand("guide", "Send guide pulses or cancel them");
  gd->footer(
      "East and west drive the X axis, south and north the Y axis: direction bits 0x1 (+X), "
      "0x2 (-X), 0x4 (+Y), 0x8 (-Y). What each bit does on the sky is the camera firmware's "
      "and depends on how the camera is mounted. The camera times the pulses itself.\n\n" +
      std::string(kExitCodes));
  AddDeviceOptions(gd, device);
  auto pulse = [gd](const char* name, std::optional<int32_t>& field, const char* help) {
    gd->add_option_function<int32_t>(
        name, [&field](const int32_t& v) { field = v; }, help);
  };
  pulse("--east", guide.east, "Pulse +X for MS milliseconds (-1: until cancelled)");
  pulse("--west", guide.west, "Pulse -X for MS milliseconds");
  pulse("--south", guide.south, "Pulse +Y for MS milliseconds");
  pulse("--north", guide.north, "Pulse -Y for MS milliseconds");
  gd->add_option_function<uint32_t>(
      "--direction", [&guide](const uint32_t& v) { guide.directionBits = v; },
      "Raw direction word (with --x and --y)");
  pulse("--x", guide.x, "X duration in milliseconds for --direction");
  pulse("--y", guide.y, "Y duration in milliseconds for --direction");
  gd->add_option("--cancel", guide.cancel, "Stop pulses on x, y or both")
      ->check(CLI::IsMember({"x", "y", "both"}));
  gd->add_flag("--wait", guide.wait, "Wait until the pulse has ended");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version requests exit 0; every real parse error exits 2.
    const int rc = app.exit(e, out, err);
    return Status{rc == 0 ? ExitCode::kOk : ExitCode::kBadArguments, ""};
  }

  for (const CLI::App* sub : app.get_subcommands()) {
    for (const CLI::Option* opt : sub->get_options()) {
      if (opt->get_group() == "Simulator" && opt->count() > 0) device.simOptionsGiven = true;
    }
  }
  capture.format = format == "fits"  ? OutputFormat::kFits
                   : format == "png" ? OutputFormat::kPng
                                     : OutputFormat::kBoth;
  if (!captureWindow.empty()) {
    if (Status s = ParseWindow(captureWindow, &capture.exposure.window); !s.ok()) return s;
  }
  if (!streamWindow.empty()) {
    if (Status s = ParseWindow(streamWindow, &stream.exposure.window); !s.ok()) return s;
  }

  line->command = cap->parsed()   ? Command::kCapture
                  : str->parsed() ? Command::kStream
                  : info->parsed() ? Command::kInfo
                                   : Command::kGuide;
  return Status::Ok();
}

}  // namespace tarncli
