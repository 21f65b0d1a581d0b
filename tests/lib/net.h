// Sockets for tests: ports to hand to a program before it binds them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

namespace testlib {

// n distinct UDP ports on loopback, free a moment ago, in ascending order.
// None is one of the last few handed out: the kernel may offer a port again
// as soon as its probe socket closes, before the program it went to binds it.
inline std::vector<std::uint16_t> free_ports(std::size_t n) {
  static std::deque<std::uint16_t> recent;
  std::vector<int> probes;
  std::vector<std::uint16_t> ports;
  while (ports.size() < n) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
      std::abort();  // no socket to be had: nothing a test could run on
    }
    // Held open until all are taken, so the n are distinct.
    probes.push_back(fd);
    const std::uint16_t port = ntohs(a.sin_port);
    if (std::find(recent.begin(), recent.end(), port) != recent.end()) continue;
    ports.push_back(port);
    recent.push_back(port);
    if (recent.size() > 16) recent.pop_front();
  }
  for (int fd : probes) close(fd);
  std::sort(ports.begin(), ports.end());
  return ports;
}

inline std::uint16_t free_port() {
  return free_ports(1)[0];
}

}  // namespace testlib
