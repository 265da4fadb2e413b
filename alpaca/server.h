#pragma once
// tarncam-alpaca's server: the Alpaca device API for the cameras, the
// management API, and discovery. HTTP is cpp-httplib's; each request is
// turned into a Request and answered by Handle(), which the tests and the
// fuzzer also call directly.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alpaca/camera_device.h"
#include "alpaca/discovery.h"

namespace httplib {
class Server;
}

namespace alpaca {

struct ServerOptions {
  std::string bind = "0.0.0.0";
  int port = 11111;  // 0: any free port (tests)
  bool discovery = true;
  int discoveryPort = 32227;  // 0: any free port (tests)
  std::string location;       // what the management description says
};

struct Request {
  std::string method;  // "GET", "PUT", ...
  std::string path;
  std::multimap<std::string, std::string> query;  // decoded
  std::string body;                               // as sent
  std::string accept;                             // the Accept header
};

struct Reply {
  int status = 200;
  std::string contentType;
  std::string body;
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves every camera present now (tarncam_list_cameras), in list order,
  // as device numbers 0, 1, ...; cameras that turn up later are added when a
  // client next asks for the configured devices.
  void AddCamerasPresent();
  // Serves one camera by its identifier.
  void AddCamera(const std::string& id, const std::string& label, bool colour);

  // Binds and starts answering. False with *error on failure.
  bool Start(std::string* error);
  // Stops answering and closes the cameras; idempotent.
  void Stop();

  int port() const { return port_; }
  int discoveryPort() const { return discovery_ ? discovery_->port() : 0; }
  size_t deviceCount();

  Reply Handle(const Request& request);

 private:
  Reply HandleApi(const Request& request, const std::string& type, const std::string& number,
                  const std::string& member);
  Reply Json(const Outcome& outcome, uint32_t clientTransactionId);
  std::shared_ptr<CameraDevice> Device(uint32_t number);
  void Rescan();

  ServerOptions options_;
  std::atomic<uint32_t> serverTransactionId_{0};
  std::mutex devicesMu_;
  std::vector<std::shared_ptr<CameraDevice>> devices_;
  std::unique_ptr<httplib::Server> http_;
  std::thread httpThread_;
  std::unique_ptr<Discovery> discovery_;
  int port_ = 0;
};

}  // namespace alpaca
