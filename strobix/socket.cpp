// The stream's sockets. Both live on the local address given with -l: one
// unconnected, which takes resend requests from anywhere, and one connected to
// the destination, which sends (a connected socket spares the kernel a route
// lookup per datagram) and also takes requests that come from the destination
// itself, since the kernel hands those to the connected socket. When the pair
// cannot be had, the one unconnected socket does everything.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "stream_internal.h"
#include "texts_internal.h"

namespace {

constexpr int send_buffer_bytes = 4 << 20;

int udp_socket() {
  return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

bool bind_to(int fd, const sockaddr_in &a) {
  return bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
}

void report_errno(const char *what) {
  const int e = errno;
  std::fprintf(stderr, text_socket_failed, what, std::strerror(e), e);
}

// The connected sender beside fd, on fd's own address and port; -1 when the
// kernel will not have it.
int open_sender(int fd, const sockaddr_in &destination) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0) return -1;
  const int s = udp_socket();
  if (s < 0) return -1;
  const int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 || !bind_to(s, local) ||
      connect(s, reinterpret_cast<const sockaddr *>(&destination), sizeof destination) != 0) {
    close(s);
    return -1;
  }
  return s;
}

}  // namespace

bool open_sockets(stream_state &st) {
  const sockaddr_in &local = st.opts.local;
  // Sharing the port with the sender needs SO_REUSEPORT, which would also let
  // a second program bind it: a plain bind first proves the port is free.
  if (local.sin_port != 0) {
    const int probe = udp_socket();
    if (probe < 0) {
      report_errno("socket");
      return false;
    }
    const bool free = bind_to(probe, local);
    if (!free) report_errno("bind");
    close(probe);
    if (!free) return false;
  }
  st.fd = udp_socket();
  if (st.fd < 0) {
    report_errno("socket");
    return false;
  }
  const int on = 1;
  const bool shared = setsockopt(st.fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0;
  if (!bind_to(st.fd, local)) {
    report_errno("bind");
    close(st.fd);
    st.fd = -1;
    return false;
  }
  st.send_fd = shared ? open_sender(st.fd, st.opts.destination) : -1;
  st.connected = st.send_fd >= 0;
  if (!st.connected) st.send_fd = st.fd;
  // A larger queue keeps sendmmsg from stalling on bursts; refusal is harmless.
  setsockopt(st.send_fd, SOL_SOCKET, SO_SNDBUF, &send_buffer_bytes, sizeof send_buffer_bytes);
  return true;
}

void close_sockets(stream_state &st) {
  if (st.connected) close(st.send_fd);
  if (st.fd >= 0) close(st.fd);
  st.fd = -1;
  st.send_fd = -1;
  st.connected = false;
}
