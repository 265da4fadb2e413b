// tarncam-alpaca: the cameras present (or simulated ones) as Alpaca Camera
// devices, for ASCOM applications on Windows through the platform's Alpaca
// clients, and for every other Alpaca client.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "alpaca/server.h"
#include "tarncam/tarncam_camera.h"

int main(int argc, char** argv) {
  CLI::App app{"tarncam-alpaca: the camera and its guide port as an ASCOM Alpaca Camera device",
               "tarncam-alpaca"};
  alpaca::ServerOptions options;
  int simulators = 0;
  bool simColour = false;
  std::string simOptions;
  bool noDiscovery = false;
  app.add_option("--port,-p", options.port, "HTTP port of the Alpaca API (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_option("--bind", options.bind, "Address to listen on (0.0.0.0: every IPv4 interface)")
      ->capture_default_str();
  app.add_option("--discovery-port", options.discoveryPort,
                 "UDP port Alpaca discovery listens on (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_flag("--no-discovery", noDiscovery, "Do not answer Alpaca discovery");
  app.add_option("--location", options.location, "Where the server is, for the management API");
  app.add_flag("--simulator", simulators,
               "Serve a simulated camera too (repeat for more), as the tarncam tool's --simulator");
  app.add_flag("--sim-colour,--sim-color", simColour, "The simulated cameras are colour cameras");
  app.add_option("--sim-options", simOptions,
                 "Simulator options, key=value,... as tarncam_sim_parse_options reads them");
  CLI11_PARSE(app, argc, argv);
  options.discovery = !noDiscovery;

  // SIGINT and SIGTERM are taken by sigwait below, so block them before any
  // thread starts: the library's and the server's threads inherit the block
  // (see tools/cli/interrupt.cpp for why a handler is not used).
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  for (int i = 0; i < simulators; ++i) {
    tarncam_sim_options sim;
    tarncam_sim_default_options(&sim);
    sim.colour = simColour ? 1 : 0;
    char why[256] = "";
    if (!simOptions.empty() &&
        tarncam_sim_parse_options(simOptions.c_str(), &sim, why, sizeof why) != 0) {
      std::fprintf(stderr, "tarncam-alpaca: --sim-options: %s\n", why);
      return 2;
    }
    char id[TARNCAM_ID_SIZE];
    if (tarncam_sim_add(&sim, id, sizeof id) != TARNCAM_OK) {
      std::fprintf(stderr, "tarncam-alpaca: the simulator refused its options\n");
      return 2;
    }
  }

  alpaca::Server server(options);
  server.AddCamerasPresent();
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "tarncam-alpaca: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "tarncam-alpaca: %zu camera(s) on %s port %d%s\n", server.deviceCount(),
               options.bind.c_str(), server.port(),
               options.discovery
                   ? (", discovery on UDP port " + std::to_string(server.discoveryPort())).c_str()
                   : "");
  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  std::fprintf(stderr, "tarncam-alpaca: stopping\n");
  server.Stop();
  return 0;
}
