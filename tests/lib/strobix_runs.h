// Running strobix against a test socket on loopback: spawn it, take what it
// sends, talk back to it, and read its output and exit status.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gvsp/gvsp.h"
#include "lib/net.h"
#include "lib/process.h"

namespace strobix_test {

inline std::int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct Datagram {
  std::vector<std::byte> bytes;
  sockaddr_in from{};
  std::int64_t at_us = 0;  // arrival, microseconds of the real-time clock
};

// A UDP socket on 127.0.0.1 with a port the kernel picked.
class Receiver {
 public:
  explicit Receiver(std::uint16_t port = 0)
      : fd_(testlib::bound_udp("127.0.0.1", port)), port_(testlib::port_of(fd_)) {
    const int big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  }
  ~Receiver() { close(fd_); }
  Receiver(const Receiver &) = delete;
  Receiver &operator=(const Receiver &) = delete;

  std::uint16_t port() const { return port_; }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

  // True once a datagram waits (strobix is up and sending).
  bool wait_first(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
  }

  // Datagrams until none came for idle_ms (or total_ms passed).
  std::vector<Datagram> take(int idle_ms, int total_ms = 10000) {
    std::vector<Datagram> out;
    const std::int64_t end = now_ms() + total_ms;
    for (;;) {
      const std::int64_t left = end - now_ms();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::min<std::int64_t>(idle_ms, left))) <= 0) break;
      Datagram d;
      d.bytes.resize(65536);
      iovec iov{d.bytes.data(), d.bytes.size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
      msghdr m{};
      m.msg_name = &d.from;
      m.msg_namelen = sizeof d.from;
      m.msg_iov = &iov;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(fd_, &m, 0);
      if (n < 0) break;
      d.bytes.resize(static_cast<std::size_t>(n));
      // The kernel's arrival time: on loopback that is the sending moment,
      // whatever delays this process sees on a busy machine.
      timespec ts{};
      clock_gettime(CLOCK_REALTIME, &ts);
      for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        }
      }
      d.at_us = ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
      out.push_back(std::move(d));
    }
    return out;
  }

  void send_to(const sockaddr_in &to, const std::vector<std::byte> &bytes) {
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class Strobix : public testlib::Process {
 public:
  explicit Strobix(const std::vector<std::string> &args) : Process(STROBIX_PATH, args) {}
};

inline gvsp::Packet parse(const Datagram &d) {
  const auto r = gvsp::parse_packet(d.bytes);
  if (!r.ok()) {
    gvsp::Packet bad;
    bad.header.format = 0xFF;
    return bad;
  }
  return r.value;
}

inline std::vector<std::byte> resend_command(gvsp::HeaderKind kind, std::uint64_t block_id,
                                             std::uint32_t first, std::uint32_t last,
                                             std::uint16_t req_id = 1) {
  gvsp::ResendCommand c;
  c.kind = kind;
  c.req_id = req_id;
  c.block_id = block_id;
  c.first_packet_id = first;
  c.last_packet_id = last;
  std::vector<std::byte> out(gvsp::resend_command_extended_size);
  out.resize(gvsp::build_resend_command(out, c));
  return out;
}

// strobix's closing tally; `found` false where it printed none.
struct Summary {
  unsigned long long blocks = 0, packets = 0, bytes = 0;
  unsigned long long requests = 0, resent = 0, unavailable = 0, malformed = 0;
  bool found = false;
};

inline Summary summary_of(const std::string &out) {
  Summary s;
  const auto at = out.find("Sent ");
  const auto at2 = out.find("Resend requests: ");
  if (at == std::string::npos || at2 == std::string::npos) return s;
  double secs = 0, mbit = 0;
  const int a = std::sscanf(out.c_str() + at,
                            "Sent %llu blocks, %llu packets, %llu bytes in %lf s (%lf Mbit/s)",
                            &s.blocks, &s.packets, &s.bytes, &secs, &mbit);
  const int b =
      std::sscanf(out.c_str() + at2,
                  "Resend requests: %llu, packets resent: %llu, unavailable: %llu, malformed: %llu",
                  &s.requests, &s.resent, &s.unavailable, &s.malformed);
  s.found = a == 5 && b == 4;
  return s;
}

}  // namespace strobix_test
