// The frames the AF_XDP path and the packet ring hand up still carry their
// IPv4 and UDP headers (AF_XDP's their Ethernet header too), which the
// kernel's stack would have checked on the socket path: the lengths and both
// checksums are checked here before the datagram reaches the core. A frame
// that fails is refused and counted like a truncated datagram; the core asks
// for its packet again as for one the kernel dropped.
#pragma once

#include <gvsp/gvsp.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zok {

// What the frame's UDP checksum said about its datagram.
enum class UdpSum : std::uint8_t {
  none,      // 0: the sender computed none, which IPv4 allows
  verified,  // complete and right
  // The sender's stack left the sum to an offload that never ran: a sender
  // on this host across veth, whose frames never cross a wire. The field
  // holds only the pseudo-header's sum; the kernel trusts such a frame
  // unchecked on the socket path too.
  partial,
};

struct FrameDatagram {
  gvsp::bytes payload;     // the UDP payload
  in_addr_t source = 0;    // network byte order
  std::uint16_t port = 0;  // source port, network byte order
  UdpSum sum = UdpSum::none;
};

namespace frame_layout {
inline constexpr std::size_t ethernet = 14;
inline constexpr std::size_t ipv4_min = 20;
inline constexpr std::size_t udp = 8;
}  // namespace frame_layout

// The Internet checksum's one's-complement sum of n bytes that start at an
// even offset of the summed run, not yet folded. Byte order does not matter
// to it: summed and compared in the host's order, the result is the same
// bytes as the wire's. 32-bit halves summed into 64 bits lose no carry.
inline std::uint64_t ones_sum(const std::uint8_t *p, std::size_t n,
                              std::uint64_t sum = 0) noexcept {
  std::uint64_t odd = 0;  // a second accumulator keeps two adds in flight
  for (; n >= 16; p += 16, n -= 16) {
    std::uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    sum += (a & 0xFFFFFFFFu) + (a >> 32);
    odd += (b & 0xFFFFFFFFu) + (b >> 32);
  }
  sum += odd;
  for (; n >= 4; p += 4, n -= 4) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    sum += w;
  }
  std::uint16_t w = 0;
  if (n >= 2) {
    std::memcpy(&w, p, 2);
    sum += w;
    p += 2;
    n -= 2;
  }
  // The last odd byte is the high half of a word whose low half is zero.
  const std::uint8_t tail[2] = {n != 0 ? p[0] : std::uint8_t{0}, 0};
  std::memcpy(&w, tail, 2);
  return sum + w;
}

inline std::uint16_t ones_fold(std::uint64_t sum) noexcept {
  while (sum >> 16) sum = (sum & 0xFFFFu) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

// False for anything but one whole, unfragmented UDP/IPv4 datagram whose
// lengths agree with the packet and whose checksums hold. `packet` starts at
// the IPv4 header and may run past its end, as Ethernet padding does; a UDP
// length that runs past the IP packet is not allowed. `sum_checked`: the
// kernel or the adapter has verified the UDP checksum already.
inline bool parse_ipv4(gvsp::bytes packet, FrameDatagram &out, bool sum_checked = false) noexcept {
  using namespace frame_layout;
  const auto *ip = reinterpret_cast<const std::uint8_t *>(packet.data());
  const std::size_t n = packet.size();
  if (n < ipv4_min) return false;
  if ((ip[0] >> 4) != 4) return false;
  const std::size_t ip_header = std::size_t{ip[0] & 0x0Fu} * 4;
  const std::size_t ip_total = std::size_t{ip[2]} << 8 | ip[3];
  if (ip_header < ipv4_min || ip_total < ip_header + udp || ip_total > n) return false;
  // No stack leaves the header's own checksum to an offload: always checked.
  if (ones_fold(ones_sum(ip, ip_header)) != 0xFFFF) return false;
  // More fragments, or a fragment's offset: not a datagram of its own.
  if (((ip[6] & 0x3Fu) | ip[7]) != 0) return false;
  if (ip[9] != IPPROTO_UDP) return false;
  const std::uint8_t *u = ip + ip_header;
  const std::size_t udp_length = std::size_t{u[4]} << 8 | u[5];
  if (udp_length < udp || udp_length > ip_total - ip_header) return false;
  std::uint16_t stored;
  std::memcpy(&stored, u + 6, sizeof stored);
  out.sum = UdpSum::none;
  if (stored != 0 && sum_checked) {
    out.sum = UdpSum::verified;
  } else if (stored != 0) {
    const std::uint8_t pseudo[12] = {ip[12], ip[13], ip[14], ip[15], ip[16], ip[17],
                                     ip[18], ip[19], 0,      ip[9],  u[4],   u[5]};
    const std::uint64_t pseudo_sum = ones_sum(pseudo, sizeof pseudo);
    if (stored == ones_fold(pseudo_sum)) {
      // Nothing to check it against. A damaged datagram with a complete sum
      // gets through here only if that sum happened to be the
      // pseudo-header's: 1 in 65535 of them.
      out.sum = UdpSum::partial;
    } else if (ones_fold(ones_sum(u, udp_length, pseudo_sum)) == 0xFFFF) {
      out.sum = UdpSum::verified;
    } else {
      return false;
    }
  }
  std::memcpy(&out.source, ip + 12, sizeof out.source);
  std::memcpy(&out.port, u, sizeof out.port);
  out.payload = packet.subspan(ip_header + udp, udp_length - udp);
  return true;
}

// The same for the Ethernet frame that carries it.
inline bool parse_frame(gvsp::bytes frame, FrameDatagram &out) noexcept {
  using namespace frame_layout;
  const auto *p = reinterpret_cast<const std::uint8_t *>(frame.data());
  if (frame.size() < ethernet + ipv4_min) return false;
  if (p[12] != 0x08 || p[13] != 0x00) return false;
  return parse_ipv4(frame.subspan(ethernet), out);
}

}  // namespace zok
