// Running strobix against a test socket on loopback: spawn it, take what it
// sends, talk back to it, and read its output and exit status.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "gvsp/gvsp.h"

extern char **environ;

namespace strobix_test {

inline std::int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// n distinct UDP ports free a moment ago (for sockets that must be known in
// advance), in ascending order.
inline std::vector<std::uint16_t> free_ports(std::size_t n) {
  std::vector<int> fds;
  std::vector<std::uint16_t> ports;
  for (std::size_t i = 0; i < n; ++i) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    fds.push_back(fd);
    ports.push_back(ntohs(a.sin_port));
  }
  for (int fd : fds) close(fd);
  std::sort(ports.begin(), ports.end());
  return ports;
}

inline std::uint16_t free_port() {
  return free_ports(1)[0];
}

struct Datagram {
  std::vector<std::byte> bytes;
  sockaddr_in from{};
  std::int64_t at_us = 0;  // arrival, microseconds of the real-time clock
};

// A UDP socket on 127.0.0.1 with a port the kernel picked.
class Receiver {
 public:
  explicit Receiver(std::uint16_t port = 0) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
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

struct Outcome {
  int status = -1;  // exit status, or -signal
  std::string out;
  std::string err;
  double cpu_seconds = 0;
};

// A program running in the background with its standard output and error
// piped. A program name without a slash is looked up on PATH.
class Process {
 public:
  Process(const std::string &program, const std::vector<std::string> &args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  bool started() const { return pid_ > 0; }

  void signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }

  // Reads standard error (or output) until it holds text; false when the
  // program ends first or timeout_ms passes. What was read stays for finish().
  bool wait_for_err(const std::string &text, int timeout_ms) {
    return wait_for(err_, err_seen_, text, timeout_ms);
  }
  bool wait_for_out(const std::string &text, int timeout_ms) {
    return wait_for(out_, out_seen_, text, timeout_ms);
  }

  // Waits for the end (killing it after timeout_ms) and collects its output.
  Outcome finish(int timeout_ms = 20000) {
    Outcome o;
    o.err = err_seen_;
    o.out = out_seen_;
    const std::int64_t end = now_ms() + timeout_ms;
    bool out_open = true, err_open = true;
    char buf[4096];
    while (out_open || err_open) {
      pollfd p[2] = {{out_open ? out_ : -1, POLLIN, 0}, {err_open ? err_ : -1, POLLIN, 0}};
      const std::int64_t left = end - now_ms();
      if (left <= 0) {
        kill(pid_, SIGKILL);
        break;
      }
      if (poll(p, 2, static_cast<int>(left)) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (p[i].revents == 0) continue;
        const ssize_t n = read(i == 0 ? out_ : err_, buf, sizeof buf);
        if (n <= 0) {
          (i == 0 ? out_open : err_open) = false;
        } else {
          (i == 0 ? o.out : o.err).append(buf, static_cast<std::size_t>(n));
        }
      }
    }
    int status = 0;
    rusage ru{};
    if (pid_ > 0 && wait4(pid_, &status, 0, &ru) == pid_) {
      o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      o.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                      static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    }
    pid_ = -1;
    return o;
  }

 private:
  bool wait_for(int fd, std::string &seen, const std::string &text, int timeout_ms) {
    const std::int64_t end = now_ms() + timeout_ms;
    char buf[4096];
    while (seen.find(text) == std::string::npos) {
      const std::int64_t left = end - now_ms();
      if (left <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return false;
      seen.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string err_seen_;
  std::string out_seen_;
};

class Strobix : public Process {
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

}  // namespace strobix_test
