// Sockets for tests: ports to hand to a program before it binds them, and
// a UDP socket of the test's own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace testlib {

// A UDP socket bound to address:port (port 0: one the kernel picks), or -1.
inline int bound_udp(const char *address, std::uint16_t port = 0) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (fd < 0 || inet_pton(AF_INET, address, &a.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

inline std::uint16_t port_of(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

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

// A UDP socket bound on a loopback address (all of 127/8 is this host), on
// a port the kernel picks; it sends to 127.0.0.1, and a read waits a second
// at most.
struct UdpSocket {
  explicit UdpSocket(const char *address = "127.0.0.1")
      : fd(bound_udp(address)), port(port_of(fd)) {
    timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~UdpSocket() { close(fd); }
  UdpSocket(const UdpSocket &) = delete;
  UdpSocket &operator=(const UdpSocket &) = delete;
  void send_to(std::uint16_t to_port, std::span<const std::byte> d) const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(to_port);
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  int fd;
  std::uint16_t port;
};

// Datagrams the kernel dropped at the socket bound to 127.0.0.1:port (its
// receive buffer was full), as /proc/net/udp tells; 0 where there is none.
inline long long udp_drops(std::uint16_t port) {
  std::ifstream table("/proc/net/udp");
  // The table prints the address as the number its network-order bytes make.
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "%08X:%04X", static_cast<unsigned>(htonl(INADDR_LOOPBACK)),
                port);
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, field;
    fields >> slot >> local;
    if (local != wanted) continue;
    while (fields >> field) {
    }
    return std::stoll(field);
  }
  return 0;
}

}  // namespace testlib
