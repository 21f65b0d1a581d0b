// Holding a camera streaming: control, destination, packet size, start, a
// heartbeat until told to stop, and the same undone in reverse.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "camctl_error_internal.h"
#include "commands_internal.h"
#include "discovery_internal.h"
#include "stream_internal.h"
#include "texts_internal.h"

volatile std::sig_atomic_t stop_requested = 0;

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sleep_ms(std::int64_t ms) {
  if (ms > 0) poll(nullptr, 0, static_cast<int>(ms));
}

namespace {

// The smallest packet size every device must carry.
constexpr unsigned min_packet_size = 576;
constexpr unsigned ip_udp_overhead = 28;

struct destination {
  sockaddr_in addr{};
  bool multicast = false;
};

destination parse_destination(const std::string &to, in_addr toward_camera) {
  destination d;
  d.addr.sin_family = AF_INET;
  std::string host, port = to;
  const std::size_t colon = to.rfind(':');
  if (colon != std::string::npos) {
    host = to.substr(0, colon);
    port = to.substr(colon + 1);
  }
  char *end = nullptr;
  const unsigned long p = std::strtoul(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || p == 0 || p > 65535)
    throw camctl_error(exit_usage_error, text_bad_destination + to);
  d.addr.sin_port = htons(static_cast<std::uint16_t>(p));
  if (host.empty()) {
    d.addr.sin_addr = toward_camera;
  } else if (inet_pton(AF_INET, host.c_str(), &d.addr.sin_addr) != 1) {
    throw camctl_error(exit_usage_error, text_bad_destination + to);
  }
  d.multicast = IN_MULTICAST(ntohl(d.addr.sin_addr.s_addr));
  return d;
}

// The address of this host that the camera's packets come to.
in_addr local_address_toward(const sockaddr_in &camera) {
  in_addr out{};
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&camera), sizeof camera) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) == 0)
    out = local.sin_addr;
  if (fd >= 0) close(fd);
  return out;
}

// A socket of our own for the test packets, on the destination's address
// when it is one of ours (the receiver itself holds the port), else on the
// address toward the camera: the path checked is then the camera's to us.
int open_probe_socket(const destination &d, in_addr toward_camera, sockaddr_in &bound) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  bound = {};
  bound.sin_family = AF_INET;
  bound.sin_addr = d.addr.sin_addr;
  if (d.multicast || bind(fd, reinterpret_cast<sockaddr *>(&bound), sizeof bound) != 0) {
    bound.sin_addr = toward_camera;
    if (bind(fd, reinterpret_cast<sockaddr *>(&bound), sizeof bound) != 0) {
      close(fd);
      return -1;
    }
  }
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
  return fd;
}

struct probe {
  gvcp_client &c;
  unsigned channel;
  int fd;
  sockaddr_in bound;
  std::uint32_t scp_high, scps_base;
  bool any_seen = false;

  // Fires one test packet of `size` with do-not-fragment set; true when it
  // arrives whole.
  bool arrives(unsigned size) {
    write_register(c, gvcp::reg_scda(channel), ntohl(bound.sin_addr.s_addr));
    write_register(c, gvcp::reg_scp(channel), scp_high | ntohs(bound.sin_port));
    std::vector<std::byte> buf(70000);
    while (recv(fd, buf.data(), buf.size(), MSG_DONTWAIT) >= 0) {
    }
    write_register(c, gvcp::reg_scps(channel),
                   scps_base | gvcp::scps_fire_test_packet | gvcp::scps_do_not_fragment | size);
    // As patient as for an acknowledge: a test packet is no faster.
    const std::int64_t deadline = now_ms() + c.opts.timeout_ms;
    for (;;) {
      const std::int64_t left = deadline - now_ms();
      if (left <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n =
          recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
      if (n < 0 || from.sin_addr.s_addr != c.device.sin_addr.s_addr) continue;
      any_seen = true;
      if (static_cast<std::size_t>(n) + ip_udp_overhead == size) return true;
    }
  }
};

// The packet size to stream with, after checking that `wanted` reaches
// the destination. Throws when an explicitly asked size does not.
unsigned check_packet_size(gvcp_client &c, const camctl_options &opts, const destination &d,
                           in_addr toward_camera, unsigned wanted) {
  sockaddr_in bound{};
  const int fd = open_probe_socket(d, toward_camera, bound);
  if (fd < 0) {
    std::printf(text_packet_size_unchecked, wanted, "no socket for the test packet");
    return wanted;
  }
  const std::uint32_t scp = read_register(c, gvcp::reg_scp(opts.channel));
  const std::uint32_t scps = read_register(c, gvcp::reg_scps(opts.channel));
  probe p{
      c,
      opts.channel,
      fd,
      bound,
      scp & 0xFFFF0000u,
      scps & ~(gvcp::scps_fire_test_packet | gvcp::scps_do_not_fragment | gvcp::scps_size_mask)};
  unsigned result = wanted;
  if (!p.arrives(wanted)) {
    if (!p.arrives(min_packet_size) && !p.any_seen) {
      std::printf(text_packet_size_unchecked, wanted, "the camera sent no test packet");
    } else {
      unsigned lo = min_packet_size, hi = wanted;
      while (hi - lo > 4) {
        const unsigned mid = ((lo + hi) / 2) & ~3u;
        if (mid <= lo) break;
        (p.arrives(mid) ? lo : hi) = mid;
      }
      close(fd);
      if (opts.packet_size != 0)
        throw camctl_error(exit_failure,
                           c.name + ": " + formatted(text_packet_size_too_big, wanted, lo, lo));
      std::printf(text_packet_size_lowered, wanted, lo);
      return lo;
    }
  }
  close(fd);
  return result;
}

void try_feature(description &desc, const char *name, const char *value) {
  if (!desc.has(name)) return;
  try {
    desc.set(name, value);
  } catch (const description_error &e) {
    std::fprintf(stderr, "camctl: %s\n", e.what());
  }
}

}  // namespace

void open_streaming(const camctl_options &opts, streaming &s) {
  const std::string &camera = opts.args[0];
  open_camera(opts, camera, s.c);
  s.port = std::make_unique<device_port>(s.c);
  try {
    s.desc = std::make_unique<description>(fetch_description(s.c), *s.port);
  } catch (const description_error &e) {
    throw camctl_error(exit_failure, camera + ": " + e.what());
  }
  s.toward_camera = local_address_toward(s.c.device);
  s.heartbeat_ms = read_register(s.c, gvcp::reg_heartbeat_timeout);
  if (s.heartbeat_ms < 100 || s.heartbeat_ms > 600000) s.heartbeat_ms = 3000;
  const std::uint32_t channels = read_register(s.c, gvcp::reg_stream_channel_count);
  if (opts.channel >= channels)
    throw camctl_error(exit_usage_error, camera + ": " + text_no_such_channel);
}

void start_streaming(const camctl_options &opts, streaming &s, const sockaddr_in &to) {
  gvcp_client &c = s.c;
  destination d;
  d.addr = to;
  d.multicast = IN_MULTICAST(ntohl(to.sin_addr.s_addr));
  s.control.emplace(c, !opts.shared);
  // Read before the test packets change them: the flags the camera had
  // (do not fragment, pixel endianness) are kept for the stream.
  s.scp = read_register(c, gvcp::reg_scp(opts.channel));
  s.scps = read_register(c, gvcp::reg_scps(opts.channel));
  const unsigned current = s.scps & gvcp::scps_size_mask;
  const unsigned wanted = opts.packet_size != 0 ? opts.packet_size : current;
  s.packet_size = check_packet_size(c, opts, d, s.toward_camera, wanted);

  write_register(c, gvcp::reg_scps(opts.channel),
                 (s.scps & ~(gvcp::scps_fire_test_packet | gvcp::scps_size_mask)) | s.packet_size);
  write_register(c, gvcp::reg_scda(opts.channel), ntohl(d.addr.sin_addr.s_addr));
  write_register(c, gvcp::reg_scp(opts.channel), (s.scp & 0xFFFF0000u) | ntohs(d.addr.sin_port));
  try_feature(*s.desc, "AcquisitionMode", "Continuous");
  try_feature(*s.desc, "TLParamsLocked", "1");
  try {
    s.desc->execute("AcquisitionStart");
  } catch (const description_error &e) {
    throw camctl_error(exit_failure, c.name + ": " + e.what());
  }
}

std::int64_t heartbeat_interval_ms(const streaming &s) {
  // A third of the timeout leaves room for a lost command and its retry.
  return std::max<std::int64_t>(50, s.heartbeat_ms / 3);
}

void keep_streaming(streaming &s) {
  std::uint32_t ccp = 0;
  try {
    ccp = read_register(s.c, gvcp::reg_ccp);
  } catch (const camctl_error &e) {
    if (e.status != exit_no_answer) throw;
    s.control->held = false;
    throw camctl_error(exit_no_answer, s.c.name + ": " + text_vanished);
  }
  if ((ccp & (gvcp::ccp_exclusive | gvcp::ccp_control)) == 0) {
    s.control->held = false;
    throw camctl_error(exit_failure, s.c.name + ": " + text_control_lost);
  }
}

int stop_streaming(const camctl_options &opts, streaming &s) {
  // Undo in reverse; each step is tried even when one before it failed.
  int status = exit_ok;
  const auto step = [&](auto &&f) {
    try {
      f();
    } catch (const camctl_error &e) {
      std::fprintf(stderr, "camctl: %s\n", e.what());
      status = e.status;
    } catch (const description_error &e) {
      std::fprintf(stderr, "camctl: %s\n", e.what());
      status = exit_failure;
    }
  };
  step([&] {
    if (s.desc->has("AcquisitionStop")) s.desc->execute("AcquisitionStop");
  });
  step([&] { try_feature(*s.desc, "TLParamsLocked", "0"); });
  step([&] { write_register(s.c, gvcp::reg_scda(opts.channel), 0); });
  step([&] { write_register(s.c, gvcp::reg_scp(opts.channel), s.scp & 0xFFFF0000u); });
  step([&] { s.control->release(); });
  return status;
}

int run_stream(const camctl_options &opts) {
  streaming s;
  open_streaming(opts, s);
  const destination d = parse_destination(opts.to, s.toward_camera);
  start_streaming(opts, s, d.addr);
  std::printf(text_streaming, opts.args[0].c_str(), ip_text(d.addr.sin_addr).c_str(),
              ntohs(d.addr.sin_port), opts.channel, s.packet_size, s.heartbeat_ms);
  std::fflush(stdout);

  const std::int64_t interval = heartbeat_interval_ms(s);
  const std::int64_t start = now_ms();
  const std::int64_t end =
      opts.seconds > 0 ? start + static_cast<std::int64_t>(opts.seconds * 1000) : -1;
  for (;;) {
    if (stop_requested) break;
    std::int64_t wait = interval;
    if (end >= 0) {
      if (now_ms() >= end) break;
      wait = std::min(wait, end - now_ms());
    }
    sleep_ms(wait);
    if (stop_requested) break;
    keep_streaming(s);
  }
  const int status = stop_streaming(opts, s);
  std::printf(text_stopped, static_cast<double>(now_ms() - start) / 1000.0);
  return status;
}
