// The packet-ring receive path: an AF_PACKET socket on the interface that
// holds the stream's address has the kernel copy the stream's datagrams into
// a ring mapped into this process, so that a batch costs no system call while
// the stream flows. The copy is made as the packet comes in, in the softirq
// that receives it (the sender's, on a veth pair or loopback), where the
// socket path queues it for a later recvmmsg. The stream's own UDP socket
// stays bound, so the port stays the stream's and no ICMP answers the
// sender: resend commands leave through it, and a filter on it drops what
// the rings take, so that the kernel queues the stream once, not twice. What
// no ring takes (a datagram larger than their frames, one that came in on
// another interface, another source once the sender is locked) still
// reaches the socket.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "socket_path_internal.h"

namespace zok {

class PacketPath final : public ReceivePath {
 public:
  // Opens the rings on the interface that holds `interface_addr` (the
  // stream's address, or for a group the address it was joined on), or
  // says why not: an errno (EPERM without CAP_NET_RAW, EOPNOTSUPP, or the
  // kernel's) and a short reason. `sender` (network order, 0: none yet) is
  // the only source the rings take. Takes `socket` only when it opens.
  static int open(in_addr_t local_addr, std::uint16_t local_port, in_addr_t interface_addr,
                  in_addr_t sender, std::unique_ptr<SocketPath> &socket,
                  std::unique_ptr<PacketPath> &out, std::string &why) noexcept;
  ~PacketPath() override;
  PacketPath(const PacketPath &) = delete;
  PacketPath &operator=(const PacketPath &) = delete;

  Batch receive(Reassembly &core, ArrivalClock &arrivals) noexcept override;
  std::span<const int> wait_fds() const noexcept override { return {fds_.data(), fds_.size()}; }
  void sender_locked(std::uint32_t host, std::uint16_t port) noexcept override;
  PathKind kind() const noexcept override { return PathKind::packet_ring; }
  const std::string &interface_name() const noexcept { return interface_; }
  // Frames of each ring, and the largest IPv4 packet each takes.
  std::string ring_sizes() const;

  // One ring of frames of one size. Where the interface carries packets
  // larger than a standard Ethernet frame's, a second ring takes those, so
  // that a stream of small packets does not spend a jumbo frame on each.
  struct Ring {
    int fd = -1;
    std::byte *map = nullptr;
    std::size_t bytes = 0;
    std::size_t frame_bytes = 0;
    std::size_t frames_per_block = 0;
    std::size_t frames = 0;
    std::size_t above = 0;    // IPv4 bytes: the ring takes packets longer
    std::size_t largest = 0;  // and at most this long
    std::size_t next = 0;
    Ring() = default;
    Ring(const Ring &) = delete;
    Ring &operator=(const Ring &) = delete;
    ~Ring();
  };

 private:
  explicit PacketPath(Counters &counters) noexcept : counters_(counters) {}
  // Until this, the rings take nothing and the socket everything, so that
  // what arrives before the program takes its first blocks waits in the
  // socket's buffer, as on the socket path, not in rings a fraction of its
  // size.
  int engage() noexcept;
  // The rings' and the socket's filters for the stream and its sender.
  int filter(std::uint32_t host, std::uint16_t port) noexcept;
  // The rings could not be engaged: from here the socket takes the whole
  // stream, as on the socket path, once the rings are drained.
  void to_socket(const char *why) noexcept;
  Batch receive_frames(Reassembly &core, ArrivalClock &arrivals) noexcept;
  // A frame waits after the one `ring` is at, in it or in another ring.
  bool later_frame(const Ring &ring) const noexcept;
  void read_drops() noexcept;

  std::unique_ptr<SocketPath> socket_;
  Counters &counters_;
  std::vector<std::unique_ptr<Ring>> rings_;
  std::vector<int> fds_;  // the rings', then the socket's
  std::string interface_;
  in_addr_t local_addr_ = 0;
  std::uint16_t local_port_ = 0;   // host order
  in_addr_t sender_ = 0;           // network order, 0: any
  std::uint16_t sender_port_ = 0;  // network order, 0: any
  unsigned index_ = 0;             // the interface's
  std::size_t largest_ = 0;        // IPv4 bytes the largest frames hold
  bool engaged_ = false;
  bool socket_only_ = false;  // the rings are left and drained
  bool leaving_ = false;      // to_socket() has been called
  // What waited in the socket before the rings took the stream is older
  // than anything in them.
  bool socket_first_ = true;
  bool idle_ = false;
};

}  // namespace zok
