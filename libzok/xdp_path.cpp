// The AF_XDP sockets, their UMEM and rings, and the XDP program that feeds
// them. Built without libbpf or clang's BPF target, open() says so and the
// stream keeps its socket.
#include <cerrno>
#include <cstring>

#include "xdp_internal.h"

namespace zok {

bool parse_receive_choice(const char *value, ReceiveChoice &out) noexcept {
  // The socket path is the default until the AF_XDP path has shown, on real
  // adapters, every case the socket path is tested against; it is asked for.
  if (value == nullptr || *value == '\0' || std::strcmp(value, "socket") == 0) {
    out = ReceiveChoice::socket;
  } else if (std::strcmp(value, "auto") == 0) {
    out = ReceiveChoice::automatic;
  } else if (std::strcmp(value, "xdp") == 0) {
    out = ReceiveChoice::xdp;
  } else {
    return false;
  }
  return true;
}

}  // namespace zok

#ifndef ZOK_HAVE_XDP

namespace zok {

struct XdpPath::Queue {};
struct XdpPath::Program {};

int XdpPath::open(in_addr_t, std::uint16_t, std::unique_ptr<XdpPath> &, std::string &why) noexcept {
  why = "libzok was built without AF_XDP support";
  return EOPNOTSUPP;
}
XdpPath::~XdpPath() = default;
int XdpPath::engage() noexcept {
  return EOPNOTSUPP;
}
std::size_t XdpPath::take(gvsp::bytes *, std::size_t) noexcept {
  return 0;
}
void XdpPath::release() noexcept {}
std::uint64_t XdpPath::kernel_drops() const noexcept {
  return 0;
}

}  // namespace zok

#else

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <linux/if_xdp.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>

// The compiled XDP program, embedded at build time.
extern const unsigned char zok_xdp_object[];
extern const unsigned long zok_xdp_object_size;

#ifndef XDP_USE_SG
#define XDP_USE_SG (1 << 4)
#endif
#ifndef XDP_PKT_CONTD
#define XDP_PKT_CONTD (1 << 0)
#endif

namespace zok {

namespace {

// Per receive queue: 128 MiB of frames, pinned while the stream is open.
// Only this stands between a program that is slow to take its blocks and
// lost packets, as the socket's receive buffer (up to 256 MiB) does on the
// socket path; at 1500 bytes it holds about as many packets as that does. A frame
// of a 1500-byte MTU fits one; a jumbo frame comes in pieces, put together
// again below.
constexpr std::uint32_t frame_count = 65536;
constexpr std::uint32_t frame_size = 2048;
// Room for one frame put together from its pieces; larger frames are
// handed up empty and so refused.
constexpr std::size_t joined_size = 65536;
constexpr std::size_t max_queues = 64;

template <typename T>
T load_acquire(const T *p) noexcept {
  return std::atomic_ref<T>(*const_cast<T *>(p)).load(std::memory_order_acquire);
}
template <typename T>
void store_release(T *p, T v) noexcept {
  std::atomic_ref<T>(*p).store(v, std::memory_order_release);
}

struct Mapping {
  void *base = MAP_FAILED;
  std::size_t size = 0;
  ~Mapping() {
    if (base != MAP_FAILED) munmap(base, size);
  }
};

int interface_of(in_addr_t addr, std::string &name, bool &loopback) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return errno;
  int rc = ENODEV;
  for (const ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    if (reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr != addr) continue;
    name = a->ifa_name;
    loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
    rc = 0;
    break;
  }
  freeifaddrs(list);
  return rc;
}

std::size_t receive_queues(const std::string &interface) {
  const std::string path = "/sys/class/net/" + interface + "/queues";
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return 1;
  std::size_t n = 0;
  while (const dirent *e = readdir(dir)) {
    if (std::strncmp(e->d_name, "rx-", 3) == 0) ++n;
  }
  closedir(dir);
  return std::clamp<std::size_t>(n, 1, max_queues);
}

int quiet_libbpf(libbpf_print_level, const char *, va_list) {
  return 0;
}

}  // namespace

struct XdpPath::Program {
  bpf_object *object = nullptr;
  int link = -1;
  ~Program() {
    // The link first: no frame is steered to a socket that is going away.
    if (link >= 0) close(link);
    if (object != nullptr) bpf_object__close(object);
  }
};

struct XdpPath::Queue {
  int fd = -1;
  Mapping umem;
  Mapping rx_map;
  Mapping fill_map;
  std::uint32_t *rx_producer = nullptr;
  std::uint32_t *rx_consumer = nullptr;
  xdp_desc *rx = nullptr;
  std::uint32_t *fill_producer = nullptr;
  std::uint64_t *fill = nullptr;
  std::uint32_t consumed = 0;   // rx descriptors read, not yet released
  std::uint32_t rx_head = 0;    // our copy of *rx_consumer
  std::uint32_t fill_head = 0;  // our copy of *fill_producer
  std::unique_ptr<std::byte[]> joined;
  ~Queue() {
    if (fd >= 0) close(fd);
  }

  int open(int ifindex, std::uint32_t queue, std::size_t batch, bool &zero_copy) {
    fd = socket(AF_XDP, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    umem.size = std::size_t{frame_count} * frame_size;
    umem.base = mmap(nullptr, umem.size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (umem.base == MAP_FAILED) return ENOMEM;
    xdp_umem_reg reg{};
    reg.addr = reinterpret_cast<std::uintptr_t>(umem.base);
    reg.len = umem.size;
    reg.chunk_size = frame_size;
    reg.headroom = 0;
    if (setsockopt(fd, SOL_XDP, XDP_UMEM_REG, &reg, sizeof reg) != 0) return errno;
    const std::uint32_t ring = frame_count;
    // The completion ring is never used (nothing is sent), but a socket
    // with a UMEM binds only with one.
    const std::uint32_t completion = 64;
    if (setsockopt(fd, SOL_XDP, XDP_UMEM_FILL_RING, &ring, sizeof ring) != 0 ||
        setsockopt(fd, SOL_XDP, XDP_UMEM_COMPLETION_RING, &completion, sizeof completion) != 0 ||
        setsockopt(fd, SOL_XDP, XDP_RX_RING, &ring, sizeof ring) != 0) {
      return errno;
    }
    xdp_mmap_offsets off{};
    socklen_t len = sizeof off;
    if (getsockopt(fd, SOL_XDP, XDP_MMAP_OFFSETS, &off, &len) != 0) return errno;
    rx_map.size = off.rx.desc + ring * sizeof(xdp_desc);
    rx_map.base = mmap(nullptr, rx_map.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                       XDP_PGOFF_RX_RING);
    if (rx_map.base == MAP_FAILED) return errno;
    fill_map.size = off.fr.desc + ring * sizeof(std::uint64_t);
    fill_map.base = mmap(nullptr, fill_map.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                         fd, XDP_UMEM_PGOFF_FILL_RING);
    if (fill_map.base == MAP_FAILED) return errno;
    auto *rx_base = static_cast<std::byte *>(rx_map.base);
    auto *fill_base = static_cast<std::byte *>(fill_map.base);
    rx_producer = reinterpret_cast<std::uint32_t *>(rx_base + off.rx.producer);
    rx_consumer = reinterpret_cast<std::uint32_t *>(rx_base + off.rx.consumer);
    rx = reinterpret_cast<xdp_desc *>(rx_base + off.rx.desc);
    fill_producer = reinterpret_cast<std::uint32_t *>(fill_base + off.fr.producer);
    fill = reinterpret_cast<std::uint64_t *>(fill_base + off.fr.desc);
    // Every frame starts in the fill ring: it always has room for the ones
    // handed back.
    for (std::uint32_t i = 0; i < frame_count; ++i) fill[i] = std::uint64_t{i} * frame_size;
    fill_head = frame_count;
    store_release(fill_producer, fill_head);
    rx_head = load_acquire(rx_consumer);

    joined.reset(new (std::nothrow) std::byte[batch * joined_size]);
    if (!joined) return ENOMEM;

    sockaddr_xdp at{};
    at.sxdp_family = AF_XDP;
    at.sxdp_ifindex = static_cast<std::uint32_t>(ifindex);
    at.sxdp_queue_id = queue;
    // Zero-copy where the driver has it; the kernel's copy otherwise. Pieces
    // of jumbo frames either way.
    for (const std::uint16_t flags : {XDP_ZEROCOPY | XDP_USE_SG, XDP_COPY | XDP_USE_SG}) {
      at.sxdp_flags = flags;
      if (bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) == 0) {
        zero_copy = (flags & XDP_ZEROCOPY) != 0;
        return 0;
      }
    }
    return errno;
  }

  // A descriptor's bytes, held to its own frame of the UMEM.
  gvsp::bytes piece(const xdp_desc &d) const noexcept {
    const std::uint64_t offset = d.addr & (frame_size - 1);
    if (d.addr >= umem.size) return {};
    const std::size_t length = std::min<std::uint64_t>(d.len, frame_size - offset);
    return gvsp::bytes(static_cast<const std::byte *>(umem.base) + d.addr, length);
  }

  // Whole frames only: a frame whose last piece is not yet in the ring
  // waits for the next batch.
  std::size_t take(gvsp::bytes *frames, std::size_t max) noexcept {
    const std::uint32_t end = load_acquire(rx_producer);
    const std::uint32_t mask = frame_count - 1;
    std::size_t n = 0;
    std::uint32_t at = rx_head + consumed;
    while (n < max && at != end) {
      std::uint32_t last = at;
      while (last != end && (rx[last & mask].options & XDP_PKT_CONTD) != 0) ++last;
      if (last == end) break;
      if (last == at) {
        frames[n] = piece(rx[at & mask]);
      } else {
        std::byte *out = joined.get() + n * joined_size;
        std::size_t length = 0;
        bool fits = true;
        for (std::uint32_t i = at; i != last + 1; ++i) {
          const gvsp::bytes part = piece(rx[i & mask]);
          if (length + part.size() > joined_size) fits = false;
          if (fits) std::memcpy(out + length, part.data(), part.size());
          length += part.size();
        }
        frames[n] = fits ? gvsp::bytes(out, length) : gvsp::bytes();
      }
      ++n;
      at = last + 1;
    }
    consumed = at - rx_head;
    return n;
  }

  void release() noexcept {
    if (consumed == 0) return;
    const std::uint32_t mask = frame_count - 1;
    for (std::uint32_t i = 0; i < consumed; ++i) {
      fill[(fill_head + i) & mask] = rx[(rx_head + i) & mask].addr & ~std::uint64_t{frame_size - 1};
    }
    fill_head += consumed;
    rx_head += consumed;
    consumed = 0;
    store_release(rx_consumer, rx_head);
    store_release(fill_producer, fill_head);
  }
};

int XdpPath::open(in_addr_t local_addr, std::uint16_t local_port, std::unique_ptr<XdpPath> &out,
                  std::string &why) noexcept try {
  if (local_addr == INADDR_ANY || IN_MULTICAST(ntohl(local_addr))) {
    why = "needs the unicast address of one interface";
    return EOPNOTSUPP;
  }
  std::unique_ptr<XdpPath> path(new XdpPath);
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
  std::uint32_t attached = 0;
  if (bpf_xdp_query_id(ifindex, 0, &attached) == 0 && attached != 0) {
    why = path->interface_ + " already has an XDP program";
    return EBUSY;
  }

  path->program_.reset(new Program);
  Program &program = *path->program_;
  const libbpf_print_fn_t previous = libbpf_set_print(quiet_libbpf);
  program.object = bpf_object__open_mem(zok_xdp_object, zok_xdp_object_size, nullptr);
  int rc = program.object == nullptr ? errno : -bpf_object__load(program.object);
  libbpf_set_print(previous);
  if (rc != 0) {
    why = std::string("cannot load the XDP program: ") + std::strerror(rc);
    return rc;
  }
  const int dest = bpf_object__find_map_fd_by_name(program.object, "zok_dest_map");
  const int sockets = bpf_object__find_map_fd_by_name(program.object, "zok_sockets");
  bpf_program *prog = bpf_object__find_program_by_name(program.object, "zok_redirect");
  if (dest < 0 || sockets < 0 || prog == nullptr) {
    why = "the XDP program lacks its maps";
    return EINVAL;
  }
  struct {
    std::uint32_t addr;
    std::uint16_t port;
    std::uint16_t unused;
  } where{local_addr, htons(local_port), 0};
  const std::uint32_t key = 0;
  if (bpf_map_update_elem(dest, &key, &where, 0) != 0) {
    rc = errno;
    why = "cannot configure the XDP program";
    return rc;
  }

  const std::size_t queues = receive_queues(path->interface_);
  bool zero_copy = true;
  for (std::uint32_t q = 0; q < queues; ++q) {
    auto queue = std::make_unique<Queue>();
    bool queue_zero_copy = false;
    if ((rc = queue->open(ifindex, q, 64, queue_zero_copy)) != 0) {
      why = "cannot bind an AF_XDP socket to queue " + std::to_string(q) + " of " +
            path->interface_ + ": " + std::strerror(rc);
      return rc;
    }
    zero_copy = zero_copy && queue_zero_copy;
    path->fds_.push_back(queue->fd);
    path->queues_.push_back(std::move(queue));
  }

  // Driver mode only: generic XDP runs after the kernel has built its
  // socket buffer, where it costs more than it saves. A link rather than a
  // netlink attach, so the program goes when this process does, however it
  // ends.
  LIBBPF_OPTS(bpf_link_create_opts, link_opts, .flags = XDP_FLAGS_DRV_MODE);
  program.link = bpf_link_create(bpf_program__fd(prog), ifindex, BPF_XDP, &link_opts);
  if (program.link < 0) {
    rc = errno;
    why = rc == EBUSY
              ? path->interface_ + " already has an XDP program"
              : "cannot attach driver XDP to " + path->interface_ + ": " + std::strerror(rc);
    return rc;
  }
  path->sockets_map_ = sockets;
  path->mode_ = zero_copy ? ReceivePath::xdp_zero_copy : ReceivePath::xdp_copy;
  out = std::move(path);
  return 0;
} catch (const std::bad_alloc &) {
  why = "out of memory";
  return ENOMEM;
}

int XdpPath::engage() noexcept {
  for (std::uint32_t q = 0; q < fds_.size(); ++q) {
    if (bpf_map_update_elem(sockets_map_, &q, &fds_[q], 0) != 0) return errno;
  }
  return 0;
}

XdpPath::~XdpPath() {
  // Program (and its link) before the sockets it steers to.
  program_.reset();
  queues_.clear();
}

std::size_t XdpPath::take(gvsp::bytes *frames, std::size_t max) noexcept {
  std::size_t n = 0;
  // Round the queues from a different one each batch, so a busy queue
  // cannot keep the others waiting.
  for (std::size_t i = 0; i < queues_.size() && n < max; ++i) {
    n += queues_[(next_queue_ + i) % queues_.size()]->take(frames + n, max - n);
  }
  next_queue_ = (next_queue_ + 1) % queues_.size();
  return n;
}

void XdpPath::release() noexcept {
  for (const auto &q : queues_) q->release();
}

std::uint64_t XdpPath::kernel_drops() const noexcept {
  std::uint64_t total = 0;
  for (const auto &q : queues_) {
    xdp_statistics s{};
    socklen_t len = sizeof s;
    if (getsockopt(q->fd, SOL_XDP, XDP_STATISTICS, &s, &len) == 0) {
      total += s.rx_dropped + s.rx_ring_full;
    }
  }
  return total;
}

}  // namespace zok

#endif
