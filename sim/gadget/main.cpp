// tarncam-gadget: the simulated camera as a USB device. On a Linux machine
// with a USB device controller (or dummy_hcd, which wires a virtual one to a
// virtual host controller) and gadgetfs mounted, it presents the camera to
// whatever host it is plugged into; the library there finds, programs and
// reads it as a real one. Runs as root (gadgetfs needs it).

#include <CLI/CLI.hpp>

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "sim/gadget/gadget.h"
#include "sim/options_text.h"

namespace {

constexpr const char* kFooter =
    "Control (--control): lines on stdin: `unplug`, `plug`, `stats`, `quit`, `slow-identify MS`\n"
    "(the next identification request answered MS late); end of input quits.\n"
    "`hold` keeps every frame read pending until `release` (an abort, an unplug or a controller\n"
    "restart still ends it) and answers `held reads=N`; `pending N MS` waits up to MS ms for read\n"
    "N (counted from 1) or a later one to be pending and answers `pending 1` or `pending 0`.\n"
    "Events on stdout: `connected camera|blank`, `disconnected`, `exposing`, `abort`,\n"
    "`abort ignored`, `identify`, `lost ...` (a control request's data gadgetfs lost), `stats ...`.\n"
    "Simulator options (--options): comma-separated key=value, as TARNCAM_SIM takes them: scene\n"
    "(stars, test-pattern), seed, colour, blank, stays_blank, renumerate_ms, firmware_version,\n"
    "fail_read, fail_read_count, timeout_read, short_read, fail_control, disconnect_read,\n"
    "replug_ms, read_fail_p, read_timeout_p, short_read_p, control_fail_p, disconnect_p,\n"
    "replug_blank, star_count, hot_pixels, star_brightness, sky_level, read_noise, seeing,\n"
    "guide_rate. The *_p faults are drawn per read (or control transfer) from the seed.";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tarncam-gadget: the simulated camera as a USB device, through gadgetfs",
               "tarncam-gadget"};
  app.footer(kFooter);
  std::string optionsText = "scene=test-pattern";
  gadget::Settings settings;
  bool control = false;
  bool noRealtime = false;
  app.add_option("--options", optionsText, "Simulator options")->capture_default_str();
  app.add_option("--serial", settings.serial,
                 "Serial number of the programmed camera (default: from the seed)");
  app.add_flag("--ignore-abort", settings.ignoreAbort,
               "Take the abort byte but do not end the exposure (a camera that ignores it)");
  app.add_flag("--control", control, "Read control lines from stdin");
  app.add_option("--gadget-dir", settings.gadgetDir, "Where gadgetfs is mounted")
      ->capture_default_str();
  app.add_option("--controller", settings.controllerFile,
                 "The controller's ep0 file in the gadgetfs folder (default: the only one)");
  app.add_option("--in-endpoint", settings.inEndpointFile,
                 "Endpoint file for the bulk IN pipe 0x82 (default: ep2in-bulk, or the first *in*)");
  app.add_option("--out-endpoint", settings.outEndpointFile,
                 "Endpoint file for the bulk OUT pipe 0x01 (default: ep1out-bulk, or the first *out*)");
  app.add_flag("--no-realtime", noRealtime,
               "Do not run the device's threads at real-time priority (ep0's highest)");
  CLI11_PARSE(app, argc, argv);
  settings.realtime = !noRealtime;

  sim::Options options;
  std::string error;
  if (!sim::ParseOptions(optionsText, &options, &error)) {
    std::fprintf(stderr, "tarncam-gadget: --options: %s\n", error.c_str());
    return 2;
  }
  if (settings.serial.empty()) {
    char text[32];
    std::snprintf(text, sizeof text, "SIM%08llX", static_cast<unsigned long long>(options.seed));
    settings.serial = text;
  }

  // SIGINT and SIGTERM end the run through one thread that waits for them;
  // every other thread keeps them blocked (they inherit the mask).
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  sigaddset(&quitSignals, SIGINT);
  sigaddset(&quitSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);

  if (settings.realtime) {
    // Every thread of the device (they inherit this) runs ahead of the
    // host's programs, ep0's thread ahead of them all: on one CPU the host
    // then sends a request only once the device has taken the last one in.
    // gadgetfs loses a control request's data that is still unread when the
    // next request arrives.
    sched_param p{};
    p.sched_priority = gadget::kDevicePriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
  }
  sim::RealClock clock;
  sim::SimCamera model(options, clock);
  gadget::Gadget device(model, settings);

  std::thread([&device, quitSignals] {
    int signal = 0;
    sigwait(&quitSignals, &signal);
    device.Quit();
  }).detach();
  if (control) {
    std::thread([&device, &model] {
      std::string line;
      while (std::getline(std::cin, line)) {
        if (line == "unplug") {
          device.Unplug();
        } else if (line == "plug") {
          device.Plug();
        } else if (line == "stats") {
          device.Say(device.StatsLine());
        } else if (line == "hold") {
          model.HoldReads(true);
          device.Say("held reads=" + std::to_string(model.Stats().reads));
        } else if (line == "release") {
          model.HoldReads(false);
          model.ReleaseRead();
        } else if (line.rfind("pending ", 0) == 0) {
          unsigned long long number = 0;
          int ms = 0;
          std::sscanf(line.c_str() + 8, "%llu %d", &number, &ms);
          const bool pending = model.WaitForPendingRead(number, std::clamp(ms, 0, 60000));
          device.Say(pending ? "pending 1" : "pending 0");
        } else if (line.rfind("slow-identify ", 0) == 0) {
          device.SlowNextIdentify(std::clamp(std::atoi(line.c_str() + 14), 0, 60000));
        } else if (line == "quit") {
          break;
        }
      }
      device.Quit();
    }).detach();
  }
  const int rc = device.Run();
  std::printf("%s\n", device.StatsLine().c_str());
  std::fflush(stdout);
  return rc;
}
