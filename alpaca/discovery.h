#pragma once
// Alpaca discovery: a UDP responder that answers "alpacadiscovery1" with
// {"AlpacaPort": n}, on IPv4 (broadcasts reach it) and on IPv6 (the
// multicast group ff12::a1:9aca).

#include <string>
#include <thread>

namespace alpaca {

class Discovery {
 public:
  Discovery() = default;
  ~Discovery();
  Discovery(const Discovery&) = delete;
  Discovery& operator=(const Discovery&) = delete;

  // Listens on `port` (0: any free port, the same for both families) and
  // answers with `alpacaPort`. False with *error when not even IPv4 could be
  // bound; IPv6 is served where the host has it.
  bool Start(int port, int alpacaPort, std::string* error);
  void Stop();
  int port() const { return port_; }

  // What the responder answers to a datagram: empty for anything but a
  // discovery request.
  static std::string Answer(const char* data, size_t size, int alpacaPort);

 private:
  void Run();
  int v4_ = -1, v6_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0, alpacaPort_ = 0;
  std::thread thread_;
};

}  // namespace alpaca
