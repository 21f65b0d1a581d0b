// The AF_XDP path: whole Ethernet frames from the rings, their headers
// checked and stripped here, the datagrams handed to the same core as the
// socket path's.
#include <arpa/inet.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "xdp_frame_internal.h"
#include "xdp_internal.h"
#include "xdp_program_internal.h"

namespace zok {

bool parse_receive_choice(const char *value, ReceiveChoice &out) noexcept {
  // The socket path is the default: a redirected frame is hidden from packet
  // captures and the firewall, and AF_XDP has yet to show a gain on a real
  // adapter. It is asked for.
  if (value == nullptr || *value == '\0' || std::strcmp(value, "socket") == 0) {
    out = ReceiveChoice::socket;
  } else if (std::strcmp(value, "auto") == 0) {
    out = ReceiveChoice::automatic;
  } else if (std::strcmp(value, "xdp") == 0) {
    out = ReceiveChoice::xdp;
  } else if (std::strcmp(value, "packet") == 0) {
    out = ReceiveChoice::packet;
  } else {
    return false;
  }
  return true;
}

namespace {
// Batches between reads of the sockets' drop counters, each a system call.
constexpr unsigned batches_per_drop_check = 64;
}  // namespace

XdpPath::XdpPath(Counters &counters) noexcept : counters_(counters) {}

#ifndef ZOK_HAVE_XDP

int XdpPath::open(in_addr_t, std::uint16_t, in_addr_t, std::unique_ptr<SocketPath> &,
                  std::unique_ptr<XdpPath> &, std::string &why) noexcept {
  why = "libzok was built without AF_XDP support";
  return EOPNOTSUPP;
}
XdpPath::~XdpPath() = default;
Batch XdpPath::receive(Reassembly &core, ArrivalClock &arrivals) noexcept {
  return socket_->receive(core, arrivals);
}
void XdpPath::sender_locked(std::uint32_t, std::uint16_t) noexcept {}

#else

int XdpPath::open(in_addr_t local_addr, std::uint16_t local_port, in_addr_t sender,
                  std::unique_ptr<SocketPath> &socket, std::unique_ptr<XdpPath> &out,
                  std::string &why) noexcept try {
  if (IN_MULTICAST(ntohl(local_addr))) {
    // A redirect into an AF_XDP socket takes the frame from the kernel, and
    // with it from every other receiver of the group on this host: a
    // group's point is that several receive it.
    why = "a multicast group stays on the socket, so that every receiver on this host gets it";
    return EOPNOTSUPP;
  }
  if (local_addr == INADDR_ANY) {
    why = "needs the unicast address of one interface";
    return EOPNOTSUPP;
  }
  std::unique_ptr<XdpPath> path(new XdpPath(socket->counters()));
  path->local_addr_ = local_addr;
  path->local_port_ = htons(local_port);
  bool loopback = false;
  if (int rc = interface_of(local_addr, path->interface_, loopback); rc != 0) {
    why = "no interface holds the address";
    return rc;
  }
  if (loopback) {
    why = path->interface_ + " is a loopback interface, without driver XDP";
    return EOPNOTSUPP;
  }
  const int ifindex = static_cast<int>(if_nametoindex(path->interface_.c_str()));
  if (ifindex == 0) {
    why = "interface " + path->interface_ + " went away";
    return errno;
  }
  // From here the destructor gives the slot back, and the program with its
  // last slot.
  if (int rc = take_program_slot(ifindex, path->interface_, path->program_, path->slot_, why);
      rc != 0) {
    return rc;
  }
  // Room to join a batch's frames of every queue: a batch takes at most
  // batch_size frames in all.
  path->joined_.reset(new std::byte[batch_size * joined_size]);
  path->frames_.reset(new XdpFrame[batch_size]);
  path->fds_.push_back(socket->wait_fds()[0]);
  const XdpProgram &program = *path->program_;
  for (std::uint32_t q = 0; q < program.pools.size(); ++q) {
    auto queue = std::make_unique<XdpSocket>();
    const char *failed = "";
    if (int rc = queue->open(*program.pools[q], ifindex, q, failed); rc != 0) {
      why = std::string(failed) + " (queue " + std::to_string(q) + " of " + path->interface_ +
            "): " + std::strerror(rc);
      return rc;
    }
    path->fds_.push_back(queue->fd());
    path->sockets_.push_back(std::move(queue));
  }
  const zok_xdp_key key{local_addr, path->local_port_, 0};
  if (int rc = add_stream(program, key, path->slot_, sender); rc != 0) {
    why = std::string("cannot configure the XDP program: ") + std::strerror(rc);
    return rc;
  }
  path->kind_ = program.zero_copy ? PathKind::xdp_zero_copy : PathKind::xdp_copy;
  path->socket_ = std::move(socket);
  out = std::move(path);
  return 0;
} catch (const std::bad_alloc &) {
  why = "out of memory";
  return ENOMEM;
}

XdpPath::~XdpPath() {
  if (program_ == nullptr) return;
  // Nothing is steered to the sockets once they start going away: the
  // stream's frames pass to the kernel, which has no listener left for them.
  remove_stream(*program_, zok_xdp_key{local_addr_, local_port_, 0}, slot_,
                static_cast<std::uint32_t>(sockets_.size()));
  sockets_.clear();
  give_back_program_slot(program_, slot_);
}

int XdpPath::engage() noexcept {
  for (std::uint32_t q = 0; q < sockets_.size(); ++q) {
    if (int rc = set_stream_socket(*program_, slot_, q, sockets_[q]->fd()); rc != 0) return rc;
  }
  return 0;
}

void XdpPath::sender_locked(std::uint32_t host, std::uint16_t port) noexcept {
  // Other hosts' datagrams to the stream then pass to its socket, where the
  // engine refuses them as on the socket path, and cannot fill the rings
  // the sender's need. Should the program not take it, every source keeps
  // reaching the rings and is refused there.
  if (lock_stream_sender(*program_, zok_xdp_key{local_addr_, local_port_, 0}, host, port) != 0) {
    bump(counters_.receive_errors);
  }
}

std::uint64_t XdpPath::kernel_drops() const noexcept {
  std::uint64_t total = 0;
  for (const auto &s : sockets_) {
    xdp_statistics st{};
    socklen_t len = sizeof st;
    if (getsockopt(s->fd(), SOL_XDP, XDP_STATISTICS, &st, &len) == 0) {
      total += st.rx_dropped + st.rx_ring_full;
    }
  }
  return total;
}

Batch XdpPath::receive(Reassembly &core, ArrivalClock &arrivals) noexcept {
  if (!engaged_) {
    engaged_ = true;
    // The stream goes on through the socket if the rings cannot be had.
    if (engage() != 0) bump(counters_.receive_errors);
    socket_first_ = true;
  }
  // The program leaves fragmented datagrams and other hosts' to the kernel.
  return socket_then_rings(socket_first_, *socket_, core, arrivals,
                           [&] { return receive_frames(core, arrivals); });
}

Batch XdpPath::receive_frames(Reassembly &core, ArrivalClock &arrivals) noexcept {
  // The queues are taken from a different one each batch, so a busy queue
  // cannot keep the others waiting. The frames of one queue come in the
  // order the program stamped them, those of different queues in no order;
  // so the batch vouches for a time only up to the last frame of the
  // earliest queue it left frames in, and for none when it left frames in a
  // queue it took no stamped frame from.
  std::size_t n = 0;
  Nanos bound = never;
  bool vouched = true;
  bool emptied = true;
  for (std::size_t i = 0; i < sockets_.size(); ++i) {
    const std::size_t q = (next_queue_ + i) % sockets_.size();
    bool drained = false;
    const std::size_t got = n < batch_size
                                ? sockets_[q]->take(&frames_[n], batch_size - n,
                                                    joined_.get() + n * joined_size, drained)
                                : 0;
    if (!drained) {
      emptied = false;
      if (got == 0 || frames_[n + got - 1].stamp == 0) {
        vouched = false;
      } else {
        bound = std::min(bound, frames_[n + got - 1].stamp);
      }
    }
    n += got;
  }
  next_queue_ = (next_queue_ + 1) % sockets_.size();
  if (n == 0 || ++batches_since_drop_check_ >= batches_per_drop_check) {
    batches_since_drop_check_ = 0;
    const std::uint64_t drops = kernel_drops();
    bump(counters_.kernel_drops, drops - last_drops_);
    last_drops_ = drops;
  }
  if (n == 0) return Batch{};

  arrivals.taken();
  Nanos latest = arrivals.now();
  bool stamped = true;
  FrameDatagram d;
  for (std::size_t i = 0; i < n; ++i) {
    if (!parse_frame(frames_[i].bytes, d)) {
      core.refuse();
      continue;
    }
    // A frame the program could not stamp arrived by the time it was taken.
    stamped = stamped && frames_[i].stamp != 0;
    latest = frames_[i].stamp != 0 ? arrivals.from_monotonic(frames_[i].stamp) : arrivals.now();
    core.on_packet(d.payload, Arrival{latest, arrivals.epoch_of(latest), d.source, d.port});
  }
  // The frames go back to the kernel only once the core has copied them.
  for (const auto &s : sockets_) s->release();
  if (!stamped) return Batch{n, emptied ? caught_up : unjudged};
  if (!vouched) return Batch{n, unjudged};
  // The bound is a stamp as the program took it: the arrivals are held
  // not to run backwards, which would make a frame left in another queue
  // look later than it came.
  return Batch{n, std::min(bound, latest)};
}

#endif

}  // namespace zok
