// What a full frame costs through the Alpaca server: ImageBytes and JSON
// downloads of one 752 x 480 frame, against the same number of raw bytes
// served by the same HTTP library on the same loopback, side by side in one
// run (the ratios are what to read; the machine is noisy). Prints a table;
// asserts nothing.
//
//   alpaca_transfer [ROUNDS]      (default 30)
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "alpaca/server.h"
#include "tarncam/tarncam_camera.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Row {
  const char* name;
  size_t bytes = 0;
  std::vector<double> ms;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  tarncam_sim_options o;
  tarncam_sim_default_options(&o);
  o.virtual_time = 1;
  char id[TARNCAM_ID_SIZE];
  if (tarncam_sim_add(&o, id, sizeof id) != TARNCAM_OK) return 1;
  alpaca::ServerOptions so;
  so.bind = "127.0.0.1";
  so.port = 0;
  so.discovery = false;
  alpaca::Server server(so);
  server.AddCamerasPresent();
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  httplib::Client c("127.0.0.1", server.port());
  const char* form = "application/x-www-form-urlencoded";
  c.Put("/api/v1/camera/0/connected", "Connected=True", form);

  // The raw yardstick: the same bytes as a plain HTTP body.
  httplib::Server raw;
  std::string blob;
  raw.Get("/blob", [&](const httplib::Request&, httplib::Response& r) {
    r.set_content(blob, "application/octet-stream");
  });
  const int rawPort = raw.bind_to_any_port("127.0.0.1");
  std::thread rawThread([&] { raw.listen_after_bind(); });
  httplib::Client rc("127.0.0.1", rawPort);

  std::printf(
      "| readout | transfer | bytes | of raw bytes | median ms | x raw time "
      "|\n|---|---|---|---|---|---|\n");
  for (int mode : {0, 1}) {
    c.Put("/api/v1/camera/0/readoutmode", "ReadoutMode=" + std::to_string(mode), form);
    c.Put("/api/v1/camera/0/startexposure", "Duration=0.01&Light=true", form);
    for (int i = 0; i < 10000; ++i) {
      auto r = c.Get("/api/v1/camera/0/imageready");
      if (r && r->body.find("\"Value\":true") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const size_t rawBytes = size_t{752} * 480 * (mode == 0 ? 1 : 2);
    blob.assign(rawBytes, '\x55');
    Row rows[3] = {{"raw HTTP body", 0, {}}, {"ImageBytes", 0, {}}, {"JSON ImageArray", 0, {}}};
    for (int i = 0; i < rounds; ++i) {
      for (int step = 0; step < 3; ++step) {
        const int k = (step + i) % 3;  // each first in turn
        const auto t0 = Clock::now();
        httplib::Result r =
            k == 0   ? rc.Get("/blob")
            : k == 1 ? c.Get("/api/v1/camera/0/imagearray", {{"Accept", "application/imagebytes"}})
                     : c.Get("/api/v1/camera/0/imagearray");
        const auto t1 = Clock::now();
        if (!r || r->status != 200) return 1;
        rows[k].bytes = r->body.size();
        rows[k].ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
      }
    }
    const double base = Median(rows[0].ms);
    for (const Row& row : rows) {
      std::printf("| %s | %s | %zu | %.3f | %.2f | %.2f |\n", mode == 0 ? "8 bit" : "10 bit",
                  row.name, row.bytes, static_cast<double>(row.bytes) / rawBytes, Median(row.ms),
                  Median(row.ms) / base);
    }
  }
  raw.stop();
  rawThread.join();
  server.Stop();
  return 0;
}
