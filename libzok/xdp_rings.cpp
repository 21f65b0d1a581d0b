// The AF_XDP path's frame memory (UMEM) and rings.
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "bpf/xdp_maps.h"
#include "memory_internal.h"
#include "receive_path_internal.h"
#include "xdp_rings_internal.h"

#ifndef XDP_USE_SG
#define XDP_USE_SG (1 << 4)
#endif
#ifndef XDP_PKT_CONTD
#define XDP_PKT_CONTD (1 << 0)
#endif

namespace zok {

namespace {

// A queue still holds the frames of a socket closed a moment ago (by this
// process, or by a receiver that has just ended) until the kernel's deferred
// release has run, which waits for the network configuration lock: a busy
// machine that adds and removes interfaces delays it. A receiver restarted
// at once gets EBUSY until then; it waits that long, and a queue that is
// still busy after it is someone else's.
constexpr int busy_queue_wait_ms = 10'000;

int bind_waiting_while_busy(int fd, sockaddr_xdp at, std::initializer_list<std::uint16_t> tries,
                            std::uint16_t &bound) noexcept {
  int waited_ms = 0;
  int pause_ms = 1;
  for (;;) {
    if (waited_ms == 1 && verbose()) {
      char name[IF_NAMESIZE] = "?";
      if_indextoname(at.sxdp_ifindex, name);
      std::fprintf(stderr,
                   "zok: queue %u of %s is held by another AF_XDP socket; waiting up to %d s\n",
                   at.sxdp_queue_id, name, busy_queue_wait_ms / 1000);
    }
    int rc = 0;
    for (const std::uint16_t flags : tries) {
      at.sxdp_flags = flags;
      if (bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) == 0) {
        bound = flags;
        return 0;
      }
      rc = errno;
    }
    if (rc != EBUSY || waited_ms >= busy_queue_wait_ms) return rc;
    ::poll(nullptr, 0, pause_ms);
    waited_ms += pause_ms;
    pause_ms = std::min(pause_ms * 2, 50);
  }
}

}  // namespace

XdpPool::~XdpPool() {
  if (fd_ >= 0) close(fd_);
}

int XdpPool::open(int ifindex, std::uint32_t queue, std::uint32_t frame_count, bool &zero_copy,
                  const char *&failed) noexcept {
  frames_ = frame_count;
  failed = "cannot open an AF_XDP socket";
  fd_ = socket(AF_XDP, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return errno;
  failed = "cannot map the frames";
  umem_.size = std::size_t{frames_} * frame_size;
  void *frames = map_filled(umem_.size);
  if (frames == nullptr) return ENOMEM;
  umem_.base = frames;
  xdp_umem_reg reg{};
  reg.addr = reinterpret_cast<std::uintptr_t>(umem_.base);
  reg.len = umem_.size;
  reg.chunk_size = frame_size;
  reg.headroom = 0;
  // The kernel pins the frames and charges them to RLIMIT_MEMLOCK unless
  // the process has CAP_IPC_LOCK: ENOBUFS past the limit.
  failed = "cannot lock the frames in memory";
  if (setsockopt(fd_, SOL_XDP, XDP_UMEM_REG, &reg, sizeof reg) != 0) return errno;
  failed = "cannot make the AF_XDP rings";
  const std::uint32_t ring = frames_;
  // The completion ring is never used (nothing is sent), but a UMEM binds
  // only with one; the pool's own receive ring only because a socket
  // binds only with a ring.
  const std::uint32_t small = 64;
  if (setsockopt(fd_, SOL_XDP, XDP_UMEM_FILL_RING, &ring, sizeof ring) != 0 ||
      setsockopt(fd_, SOL_XDP, XDP_UMEM_COMPLETION_RING, &small, sizeof small) != 0 ||
      setsockopt(fd_, SOL_XDP, XDP_RX_RING, &small, sizeof small) != 0) {
    return errno;
  }
  xdp_mmap_offsets off{};
  socklen_t len = sizeof off;
  if (getsockopt(fd_, SOL_XDP, XDP_MMAP_OFFSETS, &off, &len) != 0) return errno;
  fill_map_.size = off.fr.desc + ring * sizeof(std::uint64_t);
  fill_map_.base = mmap(nullptr, fill_map_.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                        fd_, XDP_UMEM_PGOFF_FILL_RING);
  if (fill_map_.base == MAP_FAILED) return errno;
  fill_.attach(fill_map_.base, off.fr, ring);
  // Every frame starts in the fill ring: it always has room for the ones
  // handed back.
  std::uint32_t first = 0;
  const std::uint32_t room = fill_.reserve(frames_, first);
  for (std::uint32_t i = 0; i < room; ++i) fill_.at(first + i) = std::uint64_t{i} * frame_size;
  fill_.submit();

  failed = "cannot bind an AF_XDP socket";
  sockaddr_xdp at{};
  at.sxdp_family = AF_XDP;
  at.sxdp_ifindex = static_cast<std::uint32_t>(ifindex);
  at.sxdp_queue_id = queue;
  // Zero-copy where the driver has it; the kernel's copy otherwise. Pieces
  // of jumbo frames either way. The streams' sockets inherit both.
  std::uint16_t bound = 0;
  const int rc =
      bind_waiting_while_busy(fd_, at, {XDP_ZEROCOPY | XDP_USE_SG, XDP_COPY | XDP_USE_SG}, bound);
  zero_copy = rc == 0 && (bound & XDP_ZEROCOPY) != 0;
  return rc;
}

gvsp::bytes XdpPool::piece(std::uint64_t addr, std::uint32_t length) const noexcept {
  if (addr >= umem_.size) return {};
  const std::uint64_t offset = addr & (frame_size - 1);
  return gvsp::bytes(static_cast<const std::byte *>(umem_.base) + addr,
                     std::min<std::uint64_t>(length, frame_size - offset));
}

void XdpPool::give_back(const ConsumerRing<xdp_desc> &from, std::uint32_t first,
                        std::uint32_t n) noexcept {
  const std::lock_guard lock(fill_lock_);
  std::uint32_t at = 0;
  // Never short: the ring has room for every frame of the pool.
  const std::uint32_t room = fill_.reserve(n, at);
  for (std::uint32_t i = 0; i < room; ++i) {
    fill_.at(at + i) = from.at(first + i).addr & ~std::uint64_t{frame_size - 1};
  }
  fill_.submit();
}

XdpSocket::~XdpSocket() {
  if (fd_ < 0) return;
  // What the ring still holds would be lost to the queue's other streams:
  // the kernel hands a closed socket's frames back to no one. Taken while
  // the ring is still the socket's; the stream is out of the program's
  // maps by now, so at most a frame already on its way is lost.
  if (pool_ != nullptr && rx_map_.base != MAP_FAILED) {
    std::uint32_t first = 0;
    rx_.peek(std::numeric_limits<std::uint32_t>::max(), first);
    pool_->give_back(rx_, rx_.oldest_held(), rx_.held());
  }
  close(fd_);
}

int XdpSocket::open(XdpPool &pool, int ifindex, std::uint32_t queue, const char *&failed) noexcept {
  failed = "cannot open an AF_XDP socket";
  fd_ = socket(AF_XDP, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return errno;
  failed = "cannot make the AF_XDP rings";
  // Room for every frame of the pool: the ring never fills before the
  // pool runs dry.
  const std::uint32_t ring = pool.frames();
  if (setsockopt(fd_, SOL_XDP, XDP_RX_RING, &ring, sizeof ring) != 0) return errno;
  xdp_mmap_offsets off{};
  socklen_t len = sizeof off;
  if (getsockopt(fd_, SOL_XDP, XDP_MMAP_OFFSETS, &off, &len) != 0) return errno;
  rx_map_.size = off.rx.desc + ring * sizeof(xdp_desc);
  rx_map_.base = mmap(nullptr, rx_map_.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
                      XDP_PGOFF_RX_RING);
  if (rx_map_.base == MAP_FAILED) return errno;
  failed = "cannot bind an AF_XDP socket";
  sockaddr_xdp at{};
  at.sxdp_family = AF_XDP;
  at.sxdp_ifindex = static_cast<std::uint32_t>(ifindex);
  at.sxdp_queue_id = queue;
  at.sxdp_shared_umem_fd = static_cast<std::uint32_t>(pool.fd());
  std::uint16_t bound = 0;
  if (int rc = bind_waiting_while_busy(fd_, at, {XDP_SHARED_UMEM}, bound); rc != 0) return rc;
  rx_.attach(rx_map_.base, off.rx, ring);
  pool_ = &pool;
  return 0;
}

std::size_t XdpSocket::take(XdpFrame *out, std::size_t max, std::byte *joined,
                            bool &drained) noexcept {
  std::uint32_t first = 0;
  const std::uint32_t peeked = rx_.peek(std::numeric_limits<std::uint32_t>::max(), first);
  const std::uint32_t end = first + peeked;
  std::size_t n = 0;
  std::uint32_t at = first;
  while (n < max && at != end) {
    std::uint32_t last = at;
    while (last != end && (rx_.at(last).options & XDP_PKT_CONTD) != 0) ++last;
    if (last == end) break;
    const xdp_desc &head = rx_.at(at);
    if (last == at) {
      out[n].bytes = pool_->piece(head.addr, head.len);
    } else {
      std::byte *to = joined + n * joined_size;
      std::size_t length = 0;
      bool fits = true;
      for (std::uint32_t i = at; i != last + 1; ++i) {
        const gvsp::bytes part = pool_->piece(rx_.at(i).addr, rx_.at(i).len);
        if (length + part.size() > joined_size) fits = false;
        if (fits) std::memcpy(to + length, part.data(), part.size());
        length += part.size();
      }
      out[n].bytes = fits ? gvsp::bytes(to, length) : gvsp::bytes();
    }
    out[n].stamp = 0;
    zok_xdp_stamp stamp;
    if (out[n].bytes.size() >= sizeof stamp) {
      std::memcpy(&stamp, out[n].bytes.data(), sizeof stamp);
      if (stamp.magic == ZOK_XDP_STAMP_MAGIC)
        out[n].stamp = static_cast<std::int64_t>(stamp.arrival_ns);
    }
    ++n;
    at = last + 1;
  }
  rx_.cancel(end - at);
  drained = at == end;
  return n;
}

void XdpSocket::release() noexcept {
  const std::uint32_t n = rx_.held();
  if (n == 0) return;
  pool_->give_back(rx_, rx_.oldest_held(), n);
  rx_.release(n);
}

}  // namespace zok
