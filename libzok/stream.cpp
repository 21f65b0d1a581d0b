#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "memory_internal.h"
#include "packet_path_internal.h"
#include "stream_internal.h"
#include "xdp_internal.h"

namespace zok {

namespace {

CoreConfig config_from(const zok_open_params &p) {
  CoreConfig c;
  c.kind = (p.flags & ZOK_FLAG_GEV2) != 0 ? gvsp::HeaderKind::extended : gvsp::HeaderKind::standard;
  c.resend = (p.flags & ZOK_FLAG_PACKET_RESEND) != 0;
  c.drop_incomplete = (p.flags & ZOK_FLAG_DROP_INCOMPLETE) != 0;
  c.block_timeout = ms_to_nanos(p.block_timeout != 0 ? p.block_timeout : default_block_timeout_ms);
  c.resend_timeout =
      ms_to_nanos(p.resend_timeout != 0 ? p.resend_timeout : default_resend_timeout_ms);
  c.num_retries = p.num_retries;
  c.booo = p.booo;
  // A broadcast or multicast resend address names no sender: no datagram
  // comes from one, so the first leader's source is the sender then.
  const std::uint32_t resend_host = ntohl(p.resend_addr);
  if (resend_host != INADDR_BROADCAST && !IN_MULTICAST(resend_host)) c.sender_host = p.resend_addr;
  return c;
}

// Asks for a large kernel receive buffer: forced past rmem_max when the
// process may (CAP_NET_ADMIN), else as much as rmem_max allows. Less than
// asked is no failure; a refusal of both is. The bytes the kernel granted.
int enlarge_receive_buffer(int fd, Counters &counters) {
  int want = wanted_receive_buffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0 &&
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want) != 0) {
    bump(counters.socket_option_errors);
  }
  int granted = 0;
  socklen_t length = sizeof granted;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) return 0;
  return granted;
}

// The address of this host's interface on the route to `to`. Connecting a
// UDP socket sends nothing; it only makes the kernel choose the route.
int route_source(in_addr_t to, in_addr_t &source) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = to;
  a.sin_port = htons(gvsp::gvcp_port);
  socklen_t len = sizeof a;
  int rc = 0;
  if (connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    rc = errno;
  }
  close(fd);
  if (rc == 0) source = a.sin_addr.s_addr;
  return rc;
}

// The stream works without either: arrivals are then stamped when taken
// from the socket, and the kernel's drops go uncounted. Counted, not fatal.
void enable_receive_reports(int fd, Counters &counters) {
  const int on = 1;
  for (const int option : {SO_TIMESTAMPNS, SO_RXQ_OVFL}) {
    if (setsockopt(fd, SOL_SOCKET, option, &on, sizeof on) != 0) {
      bump(counters.socket_option_errors);
    }
  }
}

}  // namespace

// ZOK_RECEIVE decides; `auto` takes AF_XDP only where it can be had and
// keeps the socket otherwise, `xdp` and `packet` fail the open rather than
// fall back.
int Stream::choose_receive_path() {
  ReceiveChoice choice = ReceiveChoice::socket;
  if (!parse_receive_choice(std::getenv("ZOK_RECEIVE"), choice)) return EINVAL;
  std::unique_ptr<SocketPath> socket = SocketPath::make(fd_, config_.kind, counters_);
  if (!socket) return ENOMEM;
  std::string why;
  int rc = 0;
  std::unique_ptr<XdpPath> xdp;
  std::unique_ptr<PacketPath> ring;
  if (choice == ReceiveChoice::packet) {
    rc = PacketPath::open(request_.local_addr, request_.local_port, link_addr_, config_.sender_host,
                          socket, ring, why);
  } else if (choice != ReceiveChoice::socket) {
    // A sender named at open is the lock from the start; otherwise the
    // first leader's source becomes it, and the program learns it then.
    // The socket path stays when AF_XDP cannot be had.
    rc = XdpPath::open(request_.local_addr, request_.local_port, config_.sender_host, socket, xdp,
                       why);
  } else {
    why = "ZOK_RECEIVE unset or socket";
  }
  if (verbose()) {
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &request_.local_addr, addr, sizeof addr);
    if (xdp) {
      std::fprintf(stderr, "zok: stream %s:%u: receive path xdp (%s mode, %s, %zu queue%s)\n", addr,
                   request_.local_port,
                   xdp->kind() == PathKind::xdp_zero_copy ? "zero-copy" : "copy",
                   xdp->interface_name().c_str(), xdp->queues(), xdp->queues() == 1 ? "" : "s");
    } else if (ring) {
      std::fprintf(stderr, "zok: stream %s:%u: receive path packet (%s, %s)\n", addr,
                   request_.local_port, ring->interface_name().c_str(), ring->ring_sizes().c_str());
    } else {
      const char *failed = choice == ReceiveChoice::xdp      ? "xdp failed"
                           : choice == ReceiveChoice::packet ? "packet failed"
                                                             : "socket";
      std::fprintf(stderr, "zok: stream %s:%u: receive path %s (%s)\n", addr, request_.local_port,
                   failed, why.c_str());
    }
  }
  if ((choice == ReceiveChoice::xdp || choice == ReceiveChoice::packet) && rc != 0) return rc;
  if (xdp) {
    path_ = std::move(xdp);
  } else if (ring) {
    path_ = std::move(ring);
  } else {
    path_ = std::move(socket);
  }
  loop_.emplace(core_, *path_, clock_);
  wait_fds_.push_back({wake_fd_, POLLIN, 0});
  for (const int fd : path_->wait_fds()) wait_fds_.push_back({fd, POLLIN, 0});
  return 0;
}

// A multicast stream is joined on the interface that reaches the camera (the
// resend address), since that is where the camera's packets come in; with no
// resend address, on the interface of the route to the group itself.
int Stream::join_group() {
  const in_addr_t group = request_.local_addr;
  const in_addr_t toward = request_.params.resend_addr != 0 ? request_.params.resend_addr : group;
  in_addr_t interface_addr = 0;
  if (int rc = route_source(toward, interface_addr); rc != 0) return rc;
  membership_.imr_multiaddr.s_addr = group;
  membership_.imr_address.s_addr = interface_addr;
  membership_.imr_ifindex = 0;
  if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership_, sizeof membership_) != 0) {
    return errno;
  }
  joined_ = true;
  link_addr_ = interface_addr;
  return 0;
}

Stream::Stream(const OpenRequest &request, StreamId id, Counters &counters)
    : id_(id),
      request_(request),
      counters_(counters),
      link_addr_(request.local_addr),
      config_(config_from(request.params)),
      core_(config_, counters, *this) {}

int Stream::open(const OpenRequest &request, StreamId id, std::unique_ptr<Stream> &out) {
  std::unique_ptr<Stream> s(new (std::nothrow) Stream(request, id, slot_counters(id.slot)));
  if (!s) return ENOMEM;
  s->buffers_.reserve(max_buffers);
  s->spare_.reserve(max_buffers);

  s->fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s->fd_ < 0) return errno;
  s->nap_ceiling_ = nap_ceiling(enlarge_receive_buffer(s->fd_, s->counters_));
  enable_receive_reports(s->fd_, s->counters_);
  const int on = 1;
  const bool multicast = IN_MULTICAST(ntohl(request.local_addr));
  // Every receiver of a group on this host binds the same group and port, and
  // each gets its own copy of every datagram.
  if (multicast && setsockopt(s->fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return errno;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = request.local_addr;
  local.sin_port = htons(request.local_port);
  if (bind(s->fd_, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) return errno;
  if (multicast) {
    if (int rc = s->join_group(); rc != 0) return rc;
  }
  s->wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s->wake_fd_ < 0) return errno;
  if (int rc = s->choose_receive_path(); rc != 0) return rc;
  out = std::move(s);
  return 0;
}

Stream::~Stream() {
  shut_down();
  // What the report's lines cannot tell apart: a request the kernel's drops
  // made necessary, and one for a packet that was only late.
  if (verbose() && path_) {
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &request_.local_addr, addr, sizeof addr);
    zok_engine_stats e{};
    counters_.snapshot(e);
    std::fprintf(stderr,
                 "zok: stream %s:%u: closed: kernel drops %llu, spurious resends %llu, blocks "
                 "unseen %llu, reorder window %llu us (peak %llu us)\n",
                 addr, request_.local_port,
                 static_cast<unsigned long long>(counters_.kernel_drops.load()),
                 static_cast<unsigned long long>(e.spurious_resends),
                 static_cast<unsigned long long>(e.blocks_unseen),
                 static_cast<unsigned long long>(e.reorder_window_ns / 1000),
                 static_cast<unsigned long long>(e.reorder_window_peak_ns / 1000));
  }
  path_.reset();
  if (joined_) setsockopt(fd_, IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership_, sizeof membership_);
  if (fd_ >= 0) close(fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
  for (const auto &b : buffers_) munmap(b->data, b->mapped);
  bump(counters_.buffers_freed, buffers_.size());
}

void Stream::shut_down() noexcept {
  stop_worker();
  FinishedBlock drained;
  while (ready_.pop(drained)) {
  }
}

int Stream::link_state(std::uint32_t &state) const {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return errno;
  bool up = false;
  for (const ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    const auto *in = reinterpret_cast<const sockaddr_in *>(a->ifa_addr);
    // A stream bound to any address is up when any interface is.
    if (link_addr_ != INADDR_ANY && in->sin_addr.s_addr != link_addr_) continue;
    if ((a->ifa_flags & IFF_UP) != 0 && (a->ifa_flags & IFF_RUNNING) != 0) up = true;
  }
  freeifaddrs(list);
  state = up ? ZOK_LINK_UP : ZOK_LINK_DOWN;
  return 0;
}

int Stream::alloc(std::size_t size, zok_buffer_t &out) {
  if (size == 0) return EINVAL;
  if (buffers_.size() >= max_buffers || size > max_buffer_bytes - buffer_bytes_) return ENOMEM;
  const long page = sysconf(_SC_PAGESIZE);
  const std::size_t mapped = (size + page - 1) / page * page;
  void *memory = map_filled(mapped);
  if (memory == nullptr) return ENOMEM;
  std::unique_ptr<Buffer> b(new (std::nothrow) Buffer);
  if (!b) {
    munmap(memory, mapped);
    return ENOMEM;
  }
  try {
    b->received = PacketBits(packet_capacity(size));
    b->unavailable = PacketBits(packet_capacity(size));
  } catch (const std::bad_alloc &) {
    munmap(memory, mapped);
    return ENOMEM;
  }
  b->data = static_cast<std::byte *>(memory);
  b->size = size;
  b->mapped = mapped;
  b->descriptor = buffer_descriptor(id_, static_cast<std::uint32_t>(buffers_.size()));
  out = b->descriptor;
  buffers_.push_back(std::move(b));
  buffer_bytes_ += size;
  bump(counters_.buffers_allocated);
  return 0;
}

Buffer *Stream::buffer(std::uint32_t index) noexcept {
  return index < buffers_.size() ? buffers_[index].get() : nullptr;
}

int Stream::queue(Buffer &buffer) noexcept {
  BufferOwner expected = BufferOwner::program;
  if (!buffer.owner.compare_exchange_strong(expected, BufferOwner::library,
                                            std::memory_order_acq_rel)) {
    return EBUSY;
  }
  if (!free_.push(&buffer)) {
    buffer.owner.store(BufferOwner::program, std::memory_order_release);
    return EAGAIN;
  }
  bump(counters_.buffers_enqueued);
  return 0;
}

int Stream::poll(zok_block_desc &block, zok_block_status &status) noexcept {
  if (!worker_running_.load(std::memory_order_acquire)) {
    for (int i = 0; i < batches_per_poll && ready_.size() == 0; ++i) {
      if (receive() < batch_size) break;
    }
  }
  FinishedBlock finished;
  if (!ready_.pop(finished)) {
    // A program polling in a tight loop on the worker's CPU would take the
    // time the worker needs to fill the blocks it waits for.
    if (worker_running_.load(std::memory_order_relaxed)) sched_yield();
    return EAGAIN;
  }
  if (Buffer *b = find_buffer(finished.desc.buffer)) {
    b->owner.store(BufferOwner::program, std::memory_order_release);
  }
  block = finished.desc;
  status = finished.status;
  bump(counters_.blocks_received);
  return 0;
}

Buffer *Stream::take_buffer() noexcept {
  if (!spare_.empty()) {
    Buffer *b = spare_.back();
    spare_.pop_back();
    return b;
  }
  Buffer *b = nullptr;
  return free_.pop(b) ? b : nullptr;
}

void Stream::recycle(Buffer *buffer) noexcept {
  // Reserved for every buffer at open: never allocates.
  spare_.push_back(buffer);
}

void Stream::hand_over(const FinishedBlock &block) noexcept {
  // Cannot fail: every entry holds one of at most ready_capacity buffers.
  ready_.push(block);
}

std::uint16_t Stream::next_request_id() const noexcept {
  return next_request_id_ == 0 ? 1 : next_request_id_;
}

void Stream::refill_request_ids() noexcept {
  std::uint16_t start = 0;
  std::uint16_t count = 0;
  callback_(stream_handle(id_), &start, &count);
  bump(counters_.callbacks_invoked);
  next_request_id_ = start;
  request_ids_left_ = count;
  // A program that grants no ids still gets its resends: ids run on from
  // its start id, and it is not asked again.
  ids_run_on_ = count == 0;
}

std::uint16_t Stream::take_request_id() noexcept {
  // Id 0 is never sent.
  if (next_request_id_ == 0) next_request_id_ = 1;
  const std::uint16_t id = next_request_id_++;
  // The next range is asked for as soon as this one is used up, so that the
  // block status record names the id the next command really carries.
  if (use_callback_ && !ids_run_on_ && --request_ids_left_ == 0) refill_request_ids();
  return id;
}

Nanos Stream::send_resend(std::uint64_t block_id, std::uint32_t first,
                          std::uint32_t last) noexcept {
  gvsp::ResendCommand command;
  command.req_id = 1;
  command.channel = request_.params.channel;
  command.kind = config_.kind;
  command.block_id = block_id;
  command.first_packet_id = first;
  command.last_packet_id = last;
  // Without a resend address the command goes to the sender of the stream,
  // never to whoever sent a datagram the core refused.
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr =
      request_.params.resend_addr != 0 ? request_.params.resend_addr : core_.sender_host();
  to.sin_port =
      htons(request_.params.resend_port != 0 ? request_.params.resend_port : gvsp::gvcp_port);
  std::array<std::byte, gvsp::resend_command_extended_size> bytes{};
  // Ids a 1.x command cannot carry, or nowhere to send it: nothing leaves,
  // and no request id is spent on it.
  if (to.sin_addr.s_addr == 0 || gvsp::build_resend_command(bytes, command) == 0) {
    bump(counters_.resends_unsent);
    return not_sent;
  }
  command.req_id = take_request_id();
  const std::size_t n = gvsp::build_resend_command(bytes, command);
  if (sendto(fd_, bytes.data(), n, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to),
             sizeof to) < 0) {
    bump(counters_.send_errors);
    bump(counters_.resends_unsent);
    return not_sent;
  }
  return core_clock_now();
}

}  // namespace zok
