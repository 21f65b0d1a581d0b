// The AF_XDP sockets, their UMEM and rings, and the XDP program that feeds
// them. Built without libbpf or clang's BPF target, open() says so and the
// stream keeps its socket.
#include <cerrno>
#include <cstring>

#include "xdp_internal.h"

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
  } else {
    return false;
  }
  return true;
}

}  // namespace zok

#ifndef ZOK_HAVE_XDP

namespace zok {

struct XdpPath::Queue {};

int XdpPath::open(in_addr_t, std::uint16_t, in_addr_t, std::unique_ptr<XdpPath> &,
                  std::string &why) noexcept {
  why = "libzok was built without AF_XDP support";
  return EOPNOTSUPP;
}
XdpPath::~XdpPath() = default;
int XdpPath::engage() noexcept {
  return EOPNOTSUPP;
}
int XdpPath::lock_sender(in_addr_t) noexcept {
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
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>

#include "bpf/xdp_maps.h"

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

struct XdpPool;

// Attached once per interface for all of this process's streams there, and
// detached with the last of them: a second program on the interface is
// impossible (the kernel allows one), and replacing the first would take
// its streams away.
struct XdpProgram {
  int ifindex = 0;
  bpf_object *object = nullptr;
  int link = -1;
  int streams_map = -1;
  int sockets_map = -1;
  std::uint64_t slots = 0;  // one bit per stream slot in use
  bool zero_copy = false;
  // The frames of each receive queue, which the kernel lets only one pool
  // use: every stream's socket on that queue shares them.
  std::vector<std::unique_ptr<XdpPool> > pools;
  ~XdpProgram();
};

namespace {

static_assert(ZOK_XDP_MAX_STREAMS <= 64, "one bit per slot in XdpProgram::slots");

// A frame of a 1500-byte MTU fits one; a jumbo frame comes in pieces, put
// together again below.
constexpr std::uint32_t frame_size = 2048;
// The frames are all the buffering this path has, and they stay pinned while
// a stream uses them. The kernel has one pool of frames per receive queue,
// which this process's streams on the interface share. A stream is one flow
// (one source and destination address and port), which an adapter's
// receive-side scaling puts on one queue, but which queue is known only once
// its first frame arrives, and a registered UMEM cannot grow: every queue
// gets the same share. 256 MiB per interface in all (what the socket path
// asks for one stream's receive buffer); at most 128 MiB per queue (65536
// frames, about as many 1500-byte packets as that buffer holds), halved
// until the queues fit, and never under 4 MiB (2048 frames, a 3 MB image at
// 1500 bytes). At the 64 queues served at most that is still 256 MiB:
// 128 MiB a queue up to two queues, 8 MiB at 32.
constexpr std::size_t umem_budget = std::size_t{256} << 20;
constexpr std::uint32_t max_queue_frames = 65536;
constexpr std::uint32_t min_queue_frames = 2048;
// Room for one frame put together from its pieces; larger frames are
// handed up empty and so refused.
constexpr std::size_t joined_size = 65536;
// Frames one take() hands up at most: the stream's batch.
constexpr std::size_t batch = 64;
constexpr std::size_t max_queues = ZOK_XDP_MAX_QUEUES;
static_assert(max_queues * min_queue_frames * frame_size <= umem_budget);

std::uint32_t frames_per_queue(std::size_t queues) {
  std::uint32_t frames = max_queue_frames;
  while (frames > min_queue_frames && std::size_t{frames} * frame_size * queues > umem_budget) {
    frames /= 2;
  }
  return frames;
}

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

}  // namespace

// One receive queue's frames and fill ring. The kernel binds one pool per
// queue of an interface; this pool's own socket holds it (it receives
// nothing: no map entry steers to it) and the streams' sockets on the queue
// bind to it, each with a receive ring of its own. Streams hand frames back
// from their own threads, so the fill ring has a lock.
struct XdpPool {
  int fd = -1;
  std::uint32_t frames = 0;  // a power of two
  Mapping umem;
  Mapping fill_map;
  std::uint32_t *fill_producer = nullptr;
  std::uint64_t *fill = nullptr;
  std::uint32_t fill_head = 0;  // our copy of *fill_producer
  std::mutex fill_lock;
  ~XdpPool() {
    if (fd >= 0) close(fd);
  }

  // `failed` names the step that failed, for the stream's reason.
  int open(int ifindex, std::uint32_t queue, std::uint32_t frame_count, bool &zero_copy,
           const char *&failed) {
    frames = frame_count;
    failed = "cannot open an AF_XDP socket";
    fd = socket(AF_XDP, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    failed = "cannot map the frames";
    umem.size = std::size_t{frames} * frame_size;
    umem.base = mmap(nullptr, umem.size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (umem.base == MAP_FAILED) return ENOMEM;
    xdp_umem_reg reg{};
    reg.addr = reinterpret_cast<std::uintptr_t>(umem.base);
    reg.len = umem.size;
    reg.chunk_size = frame_size;
    reg.headroom = 0;
    // The kernel pins the frames and charges them to RLIMIT_MEMLOCK unless
    // the process has CAP_IPC_LOCK: ENOBUFS past the limit.
    failed = "cannot lock the frames in memory";
    if (setsockopt(fd, SOL_XDP, XDP_UMEM_REG, &reg, sizeof reg) != 0) return errno;
    failed = "cannot make the AF_XDP rings";
    const std::uint32_t ring = frames;
    // The completion ring is never used (nothing is sent), but a UMEM binds
    // only with one; the pool's own receive ring only because a socket
    // binds only with a ring.
    const std::uint32_t small = 64;
    if (setsockopt(fd, SOL_XDP, XDP_UMEM_FILL_RING, &ring, sizeof ring) != 0 ||
        setsockopt(fd, SOL_XDP, XDP_UMEM_COMPLETION_RING, &small, sizeof small) != 0 ||
        setsockopt(fd, SOL_XDP, XDP_RX_RING, &small, sizeof small) != 0) {
      return errno;
    }
    xdp_mmap_offsets off{};
    socklen_t len = sizeof off;
    if (getsockopt(fd, SOL_XDP, XDP_MMAP_OFFSETS, &off, &len) != 0) return errno;
    fill_map.size = off.fr.desc + ring * sizeof(std::uint64_t);
    fill_map.base = mmap(nullptr, fill_map.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                         fd, XDP_UMEM_PGOFF_FILL_RING);
    if (fill_map.base == MAP_FAILED) return errno;
    auto *fill_base = static_cast<std::byte *>(fill_map.base);
    fill_producer = reinterpret_cast<std::uint32_t *>(fill_base + off.fr.producer);
    fill = reinterpret_cast<std::uint64_t *>(fill_base + off.fr.desc);
    // Every frame starts in the fill ring: it always has room for the ones
    // handed back.
    for (std::uint32_t i = 0; i < frames; ++i) fill[i] = std::uint64_t{i} * frame_size;
    fill_head = frames;
    store_release(fill_producer, fill_head);

    failed = "cannot bind an AF_XDP socket";
    sockaddr_xdp at{};
    at.sxdp_family = AF_XDP;
    at.sxdp_ifindex = static_cast<std::uint32_t>(ifindex);
    at.sxdp_queue_id = queue;
    // Zero-copy where the driver has it; the kernel's copy otherwise. Pieces
    // of jumbo frames either way. The streams' sockets inherit both.
    for (const std::uint16_t flags : {XDP_ZEROCOPY | XDP_USE_SG, XDP_COPY | XDP_USE_SG}) {
      at.sxdp_flags = flags;
      if (bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) == 0) {
        zero_copy = (flags & XDP_ZEROCOPY) != 0;
        return 0;
      }
    }
    return errno;
  }

  // Frames back to the kernel; `frame_of(i)` for i < n.
  template <typename FrameOf>
  void give_back(std::uint32_t n, FrameOf frame_of) noexcept {
    const std::lock_guard lock(fill_lock);
    const std::uint32_t mask = frames - 1;
    for (std::uint32_t i = 0; i < n; ++i) {
      fill[(fill_head + i) & mask] = frame_of(i) & ~std::uint64_t{frame_size - 1};
    }
    fill_head += n;
    store_release(fill_producer, fill_head);
  }
};

XdpProgram::~XdpProgram() {
  // The link first: no frame is steered to a socket that is going away.
  if (link >= 0) close(link);
  if (object != nullptr) bpf_object__close(object);
}

namespace {

// libbpf has one printer for the whole process. While this thread loads the
// program, nothing is printed and libbpf's last warning but its closing
// "failed to load object" (which names no cause) is kept for the stream's
// reason; whatever libbpf says meanwhile for anyone else goes to the
// printer that was there before.
thread_local std::string *libbpf_warning = nullptr;
std::atomic<libbpf_print_fn_t> others_printer{nullptr};

int keep_libbpf_warning(libbpf_print_level level, const char *format, va_list args) {
  if (libbpf_warning == nullptr) {
    const libbpf_print_fn_t other = others_printer.load(std::memory_order_acquire);
    return other != nullptr ? other(level, format, args) : 0;
  }
  if (level != LIBBPF_WARN) return 0;
  char line[200];
  std::vsnprintf(line, sizeof line, format, args);
  std::string said = line;
  said.erase(std::min(said.find('\n'), said.size()));
  if (said.rfind("libbpf: ", 0) == 0) said.erase(0, 8);
  if (!said.empty() && said.rfind("failed to load object", 0) != 0) *libbpf_warning = said;
  return 0;
}

// Guards the programs and their slots: streams open and close on any thread.
std::mutex programs_mutex;
// Never destroyed: a stream still open at exit gives its slot back from the
// stream table's destructor, which may run after this file's. The kernel
// removes the programs with the process.
std::vector<std::unique_ptr<XdpProgram> > &programs =
    *new std::vector<std::unique_ptr<XdpProgram> >;

// This process's program on the interface, attached if it has none yet.
// Called with programs_mutex held.
int attach_program(int ifindex, const std::string &interface, XdpProgram *&out, std::string &why) {
  for (const auto &p : programs) {
    if (p->ifindex == ifindex) {
      out = p.get();
      return 0;
    }
  }
  // Someone else's, or another process's: never replaced, never removed.
  std::uint32_t attached = 0;
  if (bpf_xdp_query_id(ifindex, 0, &attached) == 0 && attached != 0) {
    why = interface + " already has an XDP program";
    return EBUSY;
  }
  auto program = std::make_unique<XdpProgram>();
  program->ifindex = ifindex;
  std::string warning;
  others_printer.store(libbpf_set_print(keep_libbpf_warning), std::memory_order_release);
  libbpf_warning = &warning;
  program->object = bpf_object__open_mem(zok_xdp_object, zok_xdp_object_size, nullptr);
  int rc = program->object == nullptr ? errno : -bpf_object__load(program->object);
  libbpf_warning = nullptr;
  libbpf_set_print(others_printer.load(std::memory_order_acquire));
  if (rc == EPERM) {
    // libbpf's own words for this blame RLIMIT_MEMLOCK, which the kernel
    // stopped charging BPF programs and maps to in 5.11.
    why = "cannot load the XDP program: needs CAP_BPF and CAP_NET_ADMIN, or root";
    return rc;
  }
  if (rc != 0) {
    why = std::string("cannot load the XDP program: ") + std::strerror(rc);
    if (!warning.empty()) why += " (libbpf: " + warning + ")";
    return rc;
  }
  program->streams_map = bpf_object__find_map_fd_by_name(program->object, "zok_streams");
  program->sockets_map = bpf_object__find_map_fd_by_name(program->object, "zok_sockets");
  bpf_program *prog = bpf_object__find_program_by_name(program->object, "zok_redirect");
  if (program->streams_map < 0 || program->sockets_map < 0 || prog == nullptr) {
    why = "the XDP program lacks its maps";
    return EINVAL;
  }
  const std::size_t queues = receive_queues(interface);
  const std::uint32_t frames = frames_per_queue(queues);
  program->zero_copy = true;
  for (std::uint32_t q = 0; q < queues; ++q) {
    auto pool = std::make_unique<XdpPool>();
    bool zero_copy = false;
    const char *failed = "";
    if (rc = pool->open(ifindex, q, frames, zero_copy, failed); rc != 0) {
      why = std::string(failed) + " (" + std::to_string(std::size_t{frames} * frame_size >> 20) +
            " MiB for queue " + std::to_string(q) + " of " + std::to_string(queues) + " on " +
            interface + "): " + std::strerror(rc);
      if (rc == ENOBUFS) {
        why +=
            ", over the locked-memory limit (RLIMIT_MEMLOCK) of a process without "
            "CAP_IPC_LOCK";
      }
      return rc;
    }
    program->zero_copy = program->zero_copy && zero_copy;
    program->pools.push_back(std::move(pool));
  }
  // Driver mode only: generic XDP runs after the kernel has built its
  // socket buffer, where it costs more than it saves. A link rather than a
  // netlink attach, so the program goes when this process does, however it
  // ends. With no stream in its map yet, it passes everything on.
  LIBBPF_OPTS(bpf_link_create_opts, link_opts, .flags = XDP_FLAGS_DRV_MODE);
  program->link = bpf_link_create(bpf_program__fd(prog), ifindex, BPF_XDP, &link_opts);
  if (program->link < 0) {
    rc = errno;
    why = rc == EBUSY ? interface + " already has an XDP program"
                      : "cannot attach driver XDP to " + interface + ": " + std::strerror(rc);
    return rc;
  }
  out = program.get();
  programs.push_back(std::move(program));
  return 0;
}

// Called with programs_mutex held.
void detach_if_unused(XdpProgram *program) {
  if (program->slots != 0) return;
  std::erase_if(programs, [&](const auto &p) { return p.get() == program; });
}

}  // namespace

struct XdpPath::Queue {
  int fd = -1;
  XdpPool *pool = nullptr;
  Mapping rx_map;
  std::uint32_t *rx_producer = nullptr;
  std::uint32_t *rx_consumer = nullptr;
  xdp_desc *rx = nullptr;
  std::uint32_t consumed = 0;  // rx descriptors read, not yet released
  std::uint32_t rx_head = 0;   // our copy of *rx_consumer

  ~Queue() {
    if (fd < 0) return;
    // What the ring still holds would be lost to the queue's other streams:
    // the kernel hands a closed socket's frames back to no one. Taken while
    // the ring is still the socket's; the stream is out of the program's
    // maps by now, so at most a frame already on its way is lost.
    if (rx != nullptr) {
      const std::uint32_t waiting = load_acquire(rx_producer) - rx_head;
      const std::uint32_t mask = pool->frames - 1;
      pool->give_back(waiting, [&](std::uint32_t i) { return rx[(rx_head + i) & mask].addr; });
    }
    close(fd);
  }

  int open(XdpPool &shared, int ifindex, std::uint32_t queue, const char *&failed) {
    pool = &shared;
    failed = "cannot open an AF_XDP socket";
    fd = socket(AF_XDP, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    failed = "cannot make the AF_XDP rings";
    // Room for every frame of the pool: the ring never fills before the
    // pool runs dry.
    const std::uint32_t ring = pool->frames;
    if (setsockopt(fd, SOL_XDP, XDP_RX_RING, &ring, sizeof ring) != 0) return errno;
    xdp_mmap_offsets off{};
    socklen_t len = sizeof off;
    if (getsockopt(fd, SOL_XDP, XDP_MMAP_OFFSETS, &off, &len) != 0) return errno;
    rx_map.size = off.rx.desc + ring * sizeof(xdp_desc);
    rx_map.base = mmap(nullptr, rx_map.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                       XDP_PGOFF_RX_RING);
    if (rx_map.base == MAP_FAILED) return errno;
    failed = "cannot bind an AF_XDP socket";
    sockaddr_xdp at{};
    at.sxdp_family = AF_XDP;
    at.sxdp_ifindex = static_cast<std::uint32_t>(ifindex);
    at.sxdp_queue_id = queue;
    at.sxdp_flags = XDP_SHARED_UMEM;
    at.sxdp_shared_umem_fd = static_cast<std::uint32_t>(pool->fd);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0) return errno;
    auto *rx_base = static_cast<std::byte *>(rx_map.base);
    rx_producer = reinterpret_cast<std::uint32_t *>(rx_base + off.rx.producer);
    rx_consumer = reinterpret_cast<std::uint32_t *>(rx_base + off.rx.consumer);
    rx = reinterpret_cast<xdp_desc *>(rx_base + off.rx.desc);
    rx_head = load_acquire(rx_consumer);
    return 0;
  }

  // A descriptor's bytes, held to its own frame of the UMEM.
  gvsp::bytes piece(const xdp_desc &d) const noexcept {
    const std::uint64_t offset = d.addr & (frame_size - 1);
    if (d.addr >= pool->umem.size) return {};
    const std::size_t length = std::min<std::uint64_t>(d.len, frame_size - offset);
    return gvsp::bytes(static_cast<const std::byte *>(pool->umem.base) + d.addr, length);
  }

  // Whole frames only: a frame whose last piece is not yet in the ring
  // waits for the next batch. Frame i of these, when it comes in pieces, is
  // put together at joined + i * joined_size.
  std::size_t take(gvsp::bytes *out_frames, std::size_t max, std::byte *joined) noexcept {
    const std::uint32_t end = load_acquire(rx_producer);
    const std::uint32_t mask = pool->frames - 1;
    std::size_t n = 0;
    std::uint32_t at = rx_head + consumed;
    while (n < max && at != end) {
      std::uint32_t last = at;
      while (last != end && (rx[last & mask].options & XDP_PKT_CONTD) != 0) ++last;
      if (last == end) break;
      if (last == at) {
        out_frames[n] = piece(rx[at & mask]);
      } else {
        std::byte *out = joined + n * joined_size;
        std::size_t length = 0;
        bool fits = true;
        for (std::uint32_t i = at; i != last + 1; ++i) {
          const gvsp::bytes part = piece(rx[i & mask]);
          if (length + part.size() > joined_size) fits = false;
          if (fits) std::memcpy(out + length, part.data(), part.size());
          length += part.size();
        }
        out_frames[n] = fits ? gvsp::bytes(out, length) : gvsp::bytes();
      }
      ++n;
      at = last + 1;
    }
    consumed = at - rx_head;
    return n;
  }

  void release() noexcept {
    if (consumed == 0) return;
    const std::uint32_t mask = pool->frames - 1;
    pool->give_back(consumed, [&](std::uint32_t i) { return rx[(rx_head + i) & mask].addr; });
    rx_head += consumed;
    consumed = 0;
    store_release(rx_consumer, rx_head);
  }
};

int XdpPath::open(in_addr_t local_addr, std::uint16_t local_port, in_addr_t sender,
                  std::unique_ptr<XdpPath> &out, std::string &why) noexcept try {
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
  std::unique_ptr<XdpPath> path(new XdpPath);
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

  {
    const std::lock_guard lock(programs_mutex);
    XdpProgram *program = nullptr;
    if (int rc = attach_program(ifindex, path->interface_, program, why); rc != 0) return rc;
    if (~program->slots == 0) {
      detach_if_unused(program);
      why = "every stream slot of the XDP program on " + path->interface_ + " is taken";
      return EMFILE;
    }
    path->slot_ = static_cast<std::uint32_t>(std::countr_one(program->slots));
    program->slots |= std::uint64_t{1} << path->slot_;
    // From here the destructor gives the slot back, and the program with
    // its last slot.
    path->program_ = program;
  }

  // Room to join a batch's frames of every queue: take() fills at most
  // batch frames in all.
  path->joined_.reset(new std::byte[batch * joined_size]);
  XdpProgram &program = *path->program_;
  for (std::uint32_t q = 0; q < program.pools.size(); ++q) {
    auto queue = std::make_unique<Queue>();
    const char *failed = "";
    if (int rc = queue->open(*program.pools[q], ifindex, q, failed); rc != 0) {
      why = std::string(failed) + " (queue " + std::to_string(q) + " of " + path->interface_ +
            "): " + std::strerror(rc);
      return rc;
    }
    path->fds_.push_back(queue->fd);
    path->queues_.push_back(std::move(queue));
  }

  const zok_xdp_key key{local_addr, path->local_port_, 0};
  const zok_xdp_stream stream{path->slot_, sender};
  if (bpf_map_update_elem(path->program_->streams_map, &key, &stream, BPF_ANY) != 0) {
    const int rc = errno;
    why = std::string("cannot configure the XDP program: ") + std::strerror(rc);
    return rc;
  }
  path->mode_ = program.zero_copy ? ReceivePath::xdp_zero_copy : ReceivePath::xdp_copy;
  out = std::move(path);
  return 0;
} catch (const std::bad_alloc &) {
  why = "out of memory";
  return ENOMEM;
}

int XdpPath::engage() noexcept {
  for (std::uint32_t q = 0; q < fds_.size(); ++q) {
    const std::uint32_t key = slot_ * ZOK_XDP_MAX_QUEUES + q;
    if (bpf_map_update_elem(program_->sockets_map, &key, &fds_[q], 0) != 0) return errno;
  }
  return 0;
}

int XdpPath::lock_sender(in_addr_t sender) noexcept {
  const zok_xdp_key key{local_addr_, local_port_, 0};
  const zok_xdp_stream stream{slot_, sender};
  return bpf_map_update_elem(program_->streams_map, &key, &stream, BPF_EXIST) == 0 ? 0 : errno;
}

XdpPath::~XdpPath() {
  if (program_ == nullptr) return;
  // Nothing is steered to the sockets once they start going away: the
  // stream's frames pass to the kernel, which has no listener left for them.
  const zok_xdp_key key{local_addr_, local_port_, 0};
  bpf_map_delete_elem(program_->streams_map, &key);
  for (std::uint32_t q = 0; q < queues_.size(); ++q) {
    const std::uint32_t entry = slot_ * ZOK_XDP_MAX_QUEUES + q;
    bpf_map_delete_elem(program_->sockets_map, &entry);
  }
  queues_.clear();
  const std::lock_guard lock(programs_mutex);
  program_->slots &= ~(std::uint64_t{1} << slot_);
  detach_if_unused(program_);
}

std::size_t XdpPath::take(gvsp::bytes *frames, std::size_t max) noexcept {
  std::size_t n = 0;
  max = std::min(max, batch);
  // Round the queues from a different one each batch, so a busy queue
  // cannot keep the others waiting.
  for (std::size_t i = 0; i < queues_.size() && n < max; ++i) {
    n += queues_[(next_queue_ + i) % queues_.size()]->take(frames + n, max - n,
                                                           joined_.get() + n * joined_size);
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
