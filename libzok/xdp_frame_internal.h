// The frames the AF_XDP path hands up still carry their Ethernet, IPv4 and
// UDP headers, which the kernel's stack would have checked on the socket
// path. Every length is checked here before the datagram reaches the core:
// a frame that fails is refused and counted like a truncated datagram.
#pragma once

#include <gvsp/gvsp.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zok {

struct FrameDatagram {
  gvsp::bytes payload;     // the UDP payload
  in_addr_t source = 0;    // network byte order
  std::uint16_t port = 0;  // source port, network byte order
};

namespace frame_layout {
inline constexpr std::size_t ethernet = 14;
inline constexpr std::size_t ipv4_min = 20;
inline constexpr std::size_t udp = 8;
}  // namespace frame_layout

// False for anything but one whole, unfragmented UDP/IPv4 datagram whose
// lengths agree with the frame. Ethernet padding after the IP packet is
// allowed; a UDP length that runs past it is not.
inline bool parse_frame(gvsp::bytes frame, FrameDatagram &out) noexcept {
  using namespace frame_layout;
  const auto *p = reinterpret_cast<const std::uint8_t *>(frame.data());
  const std::size_t n = frame.size();
  if (n < ethernet + ipv4_min) return false;
  if (p[12] != 0x08 || p[13] != 0x00) return false;
  const std::uint8_t *ip = p + ethernet;
  if ((ip[0] >> 4) != 4) return false;
  const std::size_t ip_header = std::size_t{ip[0] & 0x0Fu} * 4;
  const std::size_t ip_total = std::size_t{ip[2]} << 8 | ip[3];
  if (ip_header < ipv4_min || ip_total < ip_header + udp || ip_total > n - ethernet) return false;
  // More fragments, or a fragment's offset: not a datagram of its own.
  if (((ip[6] & 0x3Fu) | ip[7]) != 0) return false;
  if (ip[9] != IPPROTO_UDP) return false;
  const std::uint8_t *u = ip + ip_header;
  const std::size_t udp_length = std::size_t{u[4]} << 8 | u[5];
  if (udp_length < udp || udp_length > ip_total - ip_header) return false;
  std::memcpy(&out.source, ip + 12, sizeof out.source);
  std::memcpy(&out.port, u, sizeof out.port);
  out.payload = frame.subspan(ethernet + ip_header + udp, udp_length - udp);
  return true;
}

}  // namespace zok
