// The stream's sockets. Both live on the local address given with -l: one
// unconnected, which takes resend requests from anywhere, and one connected to
// the destination, which sends (a connected socket spares the kernel a route
// lookup per datagram) and also takes requests that come from the destination
// itself, since the kernel hands those to the connected socket. When the pair
// cannot be had, the one unconnected socket does everything.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "stream_internal.h"
#include "texts_internal.h"

namespace {

constexpr int send_buffer_bytes = 4 << 20;
constexpr int command_buffer_bytes = 4 << 20;

int udp_socket() {
  return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

bool bind_to(int fd, const sockaddr_in &a) {
  return bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
}

// Requests come in bursts while the stream goes out flat out, and are read
// between batches: a deeper queue keeps the kernel from dropping them (as
// root past net.core.rmem_max). Refused, the default queue serves.
void enlarge_command_queue(int fd) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &command_buffer_bytes,
                 sizeof command_buffer_bytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &command_buffer_bytes, sizeof command_buffer_bytes);
  }
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
  enlarge_command_queue(st.fd);
  if (st.cam != nullptr) {
    // A camera answers from the address a command came to, and may answer a
    // discovery by broadcast; its stream's destination comes later.
    setsockopt(st.fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    setsockopt(st.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    st.send_fd = st.fd;
    st.connected = false;
    setsockopt(st.fd, SOL_SOCKET, SO_SNDBUF, &send_buffer_bytes, sizeof send_buffer_bytes);
    return true;
  }
  st.send_fd = shared ? open_sender(st.fd, st.opts.destination) : -1;
  st.connected = st.send_fd >= 0;
  if (!st.connected) st.send_fd = st.fd;
  // The receiver's requests come from the stream's port: they reach the
  // socket connected to it.
  if (st.connected) enlarge_command_queue(st.send_fd);
  // A larger queue keeps sendmmsg from stalling on bursts; refusal is harmless.
  setsockopt(st.send_fd, SOL_SOCKET, SO_SNDBUF, &send_buffer_bytes, sizeof send_buffer_bytes);
  return true;
}

void connect_sender(stream_state &st) {
  disconnect_sender(st);
  const int s = open_sender(st.fd, st.opts.destination);
  if (s < 0) return;
  st.send_fd = s;
  st.connected = true;
  address_batches(st);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &send_buffer_bytes, sizeof send_buffer_bytes);
}

void disconnect_sender(stream_state &st) {
  if (st.connected) close(st.send_fd);
  st.send_fd = st.fd;
  st.connected = false;
  address_batches(st);
}

void set_do_not_fragment(stream_state &st, bool on) {
  // Without the bit the kernel fragments what the path cannot carry whole.
  const int mode = on ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
  setsockopt(st.fd, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode);
  if (st.connected) setsockopt(st.send_fd, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode);
}

void close_sockets(stream_state &st) {
  if (st.connected) close(st.send_fd);
  if (st.fd >= 0) close(st.fd);
  st.fd = -1;
  st.send_fd = -1;
  st.connected = false;
}
