#include "alpaca/discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace alpaca {
namespace {

constexpr std::string_view kRequest = "alpacadiscovery1";
constexpr const char* kMulticastGroup = "ff12::a1:9aca";

void Reuse(int fd) {
  // Several Alpaca servers on one host all listen on the discovery port;
  // each of them gets every broadcast.
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

}  // namespace

Discovery::~Discovery() { Stop(); }

std::string Discovery::Answer(const char* data, size_t size, int alpacaPort) {
  // The request is the text alone; a client may pad it, so only its start
  // is compared.
  if (size < kRequest.size() || std::string_view(data, kRequest.size()) != kRequest) return {};
  return "{\"AlpacaPort\":" + std::to_string(alpacaPort) + "}";
}

bool Discovery::Start(int port, int alpacaPort, std::string* error) {
  alpacaPort_ = alpacaPort;
  v4_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (v4_ < 0) {
    *error = std::string("discovery socket: ") + std::strerror(errno);
    return false;
  }
  Reuse(v4_);
  const int one = 1;
  setsockopt(v4_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  sockaddr_in a4{};
  a4.sin_family = AF_INET;
  a4.sin_port = htons(static_cast<uint16_t>(port));
  a4.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(v4_, reinterpret_cast<sockaddr*>(&a4), sizeof a4) != 0) {
    *error = "discovery port " + std::to_string(port) + ": " + std::strerror(errno);
    close(v4_);
    v4_ = -1;
    return false;
  }
  socklen_t len = sizeof a4;
  getsockname(v4_, reinterpret_cast<sockaddr*>(&a4), &len);
  port_ = ntohs(a4.sin_port);

  v6_ = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (v6_ >= 0) {
    Reuse(v6_);
    setsockopt(v6_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(static_cast<uint16_t>(port_));
    a6.sin6_addr = in6addr_any;
    if (bind(v6_, reinterpret_cast<sockaddr*>(&a6), sizeof a6) != 0) {
      close(v6_);
      v6_ = -1;
    } else {
      // Every interface's share of the group; one that refuses (no IPv6
      // multicast) still answers unicast.
      ipv6_mreq m{};
      inet_pton(AF_INET6, kMulticastGroup, &m.ipv6mr_multiaddr);
      if (struct if_nameindex* ifs = if_nameindex()) {
        for (struct if_nameindex* i = ifs; i->if_index != 0; ++i) {
          m.ipv6mr_interface = i->if_index;
          setsockopt(v6_, IPPROTO_IPV6, IPV6_JOIN_GROUP, &m, sizeof m);
        }
        if_freenameindex(ifs);
      }
    }
  }
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
    *error = std::string("discovery pipe: ") + std::strerror(errno);
    Stop();
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void Discovery::Run() {
  char buffer[512];
  for (;;) {
    pollfd fds[3] = {{stopPipe_[0], POLLIN, 0}, {v4_, POLLIN, 0}, {v6_, POLLIN, 0}};
    const nfds_t n = v6_ >= 0 ? 3 : 2;
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    for (nfds_t i = 1; i < n; ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      sockaddr_storage from{};
      socklen_t fromLen = sizeof from;
      const ssize_t got = recvfrom(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (got <= 0) continue;
      const std::string answer = Answer(buffer, static_cast<size_t>(got), alpacaPort_);
      if (answer.empty()) continue;
      sendto(fds[i].fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
             fromLen);
    }
  }
}

void Discovery::Stop() {
  if (thread_.joinable()) {
    const char c = 0;
    (void)!write(stopPipe_[1], &c, 1);
    thread_.join();
  }
  for (int* fd : {&v4_, &v6_, &stopPipe_[0], &stopPipe_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

}  // namespace alpaca
