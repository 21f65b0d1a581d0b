// The AF_XDP receive path: an XDP program on the interface that holds the
// stream's address steers the stream's datagrams into one AF_XDP socket per
// receive queue, past the kernel's IP and UDP layers. The stream's ordinary
// socket stays bound: resend commands leave through it, and whatever the
// program passes on (IP fragments, other hosts' datagrams once the stream
// has locked onto its sender) still arrives there. The streams of one
// process on one interface share one program.
#pragma once

#include <gvsp/gvsp.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zok {

// One process's XDP program on one interface (xdp_path.cpp).
struct XdpProgram;

// ZOK_RECEIVE, read at open.
enum class ReceiveChoice { automatic, socket, xdp };
// False for a value that is none of auto, socket, xdp.
bool parse_receive_choice(const char *value, ReceiveChoice &out) noexcept;

// zok_get_receive_path's answers.
enum class ReceivePath : std::uint32_t { socket = 0, xdp_copy = 1, xdp_zero_copy = 2 };

class XdpPath {
 public:
  // Binds the sockets and attaches the program (or joins this process's
  // program on the interface), or says why not: an errno (EOPNOTSUPP, EPERM,
  // EBUSY, ENOBUFS or the kernel's) and a short reason, which ZOK_RECEIVE=xdp
  // passes on and `auto` only reports. `sender` (network order, 0: none yet)
  // is the only source the program steers to the stream.
  static int open(in_addr_t local_addr, std::uint16_t local_port, in_addr_t sender,
                  std::unique_ptr<XdpPath> &out, std::string &why) noexcept;
  ~XdpPath();
  XdpPath(const XdpPath &) = delete;
  XdpPath &operator=(const XdpPath &) = delete;

  // Until this, the program passes the stream's frames to the kernel, so
  // that what arrives before the program takes its first blocks waits in
  // the socket's buffer, as on the socket path.
  int engage() noexcept;
  // From now on only `sender`'s datagrams (network order) come through the
  // rings; everyone else's go to the stream's socket.
  int lock_sender(in_addr_t sender) noexcept;
  // Up to `max` whole frames, in ring order per queue; each stays valid (and
  // its room in the rings taken) until release().
  std::size_t take(gvsp::bytes *frames, std::size_t max) noexcept;
  void release() noexcept;
  // Frames the kernel dropped for a full ring or no room to copy into:
  // a running total over the path's sockets.
  std::uint64_t kernel_drops() const noexcept;
  // Every socket's descriptor, for poll().
  const std::vector<int> &fds() const noexcept { return fds_; }
  ReceivePath mode() const noexcept { return mode_; }
  const std::string &interface_name() const noexcept { return interface_; }

 private:
  XdpPath() = default;
  struct Queue;

  std::vector<std::unique_ptr<Queue>> queues_;
  // Shared with this process's other streams on the interface; held through
  // the registry in xdp_path.cpp, which removes it with its last stream.
  XdpProgram *program_ = nullptr;
  std::uint32_t slot_ = 0;
  in_addr_t local_addr_ = 0;
  std::uint16_t local_port_ = 0;  // network order
  std::vector<int> fds_;
  std::unique_ptr<std::byte[]> joined_;  // jumbo frames put together
  std::string interface_;
  ReceivePath mode_ = ReceivePath::socket;
  std::size_t next_queue_ = 0;
};

}  // namespace zok
