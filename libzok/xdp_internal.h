// The AF_XDP receive path: an XDP program on the interface that holds the
// stream's address steers the stream's datagrams into one AF_XDP socket per
// receive queue, past the kernel's IP and UDP layers. The stream's ordinary
// socket stays bound: resend commands leave through it, and whatever the
// program passes on (IP fragments, other hosts' datagrams once the stream
// has locked onto its sender) still arrives there. The streams of one
// process on one interface share one program.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "socket_path_internal.h"

namespace zok {

// ZOK_RECEIVE, read at open.
enum class ReceiveChoice { automatic, socket, xdp, packet };
// False for a value that is none of auto, socket, xdp, packet.
bool parse_receive_choice(const char *value, ReceiveChoice &out) noexcept;

struct XdpProgram;
class XdpSocket;
struct XdpFrame;

class XdpPath final : public ReceivePath {
 public:
  // Binds the sockets and attaches the program (or joins this process's
  // program on the interface), or says why not: an errno (EOPNOTSUPP, EPERM,
  // EBUSY, ENOBUFS or the kernel's) and a short reason, which ZOK_RECEIVE=xdp
  // passes on and `auto` only reports. `sender` (network order, 0: none yet)
  // is the only source the program steers to the stream. `socket` is the
  // stream's own, bound to the same address and port: what the program
  // leaves to the kernel arrives there. The path takes it only when it opens.
  static int open(in_addr_t local_addr, std::uint16_t local_port, in_addr_t sender,
                  std::unique_ptr<SocketPath> &socket, std::unique_ptr<XdpPath> &out,
                  std::string &why) noexcept;
  ~XdpPath() override;
  XdpPath(const XdpPath &) = delete;
  XdpPath &operator=(const XdpPath &) = delete;

  Batch receive(Reassembly &core, ArrivalClock &arrivals) noexcept override;
  std::span<const int> wait_fds() const noexcept override { return fds_; }
  void sender_locked(std::uint32_t host, std::uint16_t port) noexcept override;
  PathKind kind() const noexcept override { return kind_; }
  const std::string &interface_name() const noexcept { return interface_; }
  std::size_t queues() const noexcept { return sockets_.size(); }

 private:
  explicit XdpPath(Counters &counters) noexcept;
  // Until this, the program passes the stream's frames to the kernel, so
  // that what arrives before the program takes its first blocks waits in
  // the socket's buffer, as on the socket path.
  int engage() noexcept;
  // Frames the kernel dropped for a full ring or no room to copy into:
  // a running total over the path's sockets.
  std::uint64_t kernel_drops() const noexcept;
  Batch receive_frames(Reassembly &core, ArrivalClock &arrivals) noexcept;

  std::unique_ptr<SocketPath> socket_;
  Counters &counters_;
  std::vector<std::unique_ptr<XdpSocket>> sockets_;  // one per receive queue
  // Shared with this process's other streams on the interface; held through
  // the registry, which removes it with its last stream.
  XdpProgram *program_ = nullptr;
  std::uint32_t slot_ = 0;
  in_addr_t local_addr_ = 0;
  std::uint16_t local_port_ = 0;         // network order
  std::vector<int> fds_;                 // the socket's, then the queues'
  std::unique_ptr<std::byte[]> joined_;  // jumbo frames put together
  std::unique_ptr<XdpFrame[]> frames_;
  std::string interface_;
  PathKind kind_ = PathKind::socket;
  std::size_t next_queue_ = 0;
  bool engaged_ = false;
  bool socket_first_ = false;
  std::uint64_t last_drops_ = 0;
  unsigned batches_since_drop_check_ = 0;
};

}  // namespace zok
