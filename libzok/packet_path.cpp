// The packet-ring path: TPACKET_V2 frames, each the reader's as soon as the
// kernel has written it. TPACKET_V3 hands over whole blocks of frames, when
// one is full or a timer of a millisecond or more retires it; until then its
// frames are out of sight, and a batch that finds none could not vouch that
// nothing arrived (the receive loop's rule), nor would a resend's answer be
// seen in time.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

#include "memory_internal.h"
#include "packet_path_internal.h"
#include "xdp_frame_internal.h"

namespace zok {

namespace {

// A standard Ethernet frame's packet fits the small ring's frames; packets
// up to jumbo size go to the second ring where the interface carries them.
// A larger datagram (on loopback, whose MTU is 64 KiB) goes to the socket.
constexpr std::size_t small_frame_bytes = 2048;
constexpr std::size_t largest_frame_packet = 9000;
// A ring is all the buffering the stream has while the program is away
// from it: the small frames' ring holds as many packets as AF_XDP's frames
// on one queue, the jumbo ring half as many bytes.
constexpr std::size_t ring_bytes[] = {std::size_t{128} << 20, std::size_t{64} << 20};
constexpr std::size_t block_bytes = std::size_t{1} << 20;
// Where a SOCK_DGRAM ring puts the IPv4 header in its frame: after the
// frame header and the link-layer address, aligned.
constexpr std::size_t frame_data_offset =
    TPACKET_ALIGN(TPACKET_ALIGN(sizeof(tpacket2_hdr)) + sizeof(sockaddr_ll) + 16);

// The interface that holds `addr`; 127/8 beyond the loopback interface's
// own address is the loopback interface's too.
int interface_of(in_addr_t addr, std::string &name, unsigned &index, std::size_t &mtu) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return errno;
  const bool loopback_net = (ntohl(addr) >> 24) == 127;
  const ifaddrs *found = nullptr;
  for (const ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    const in_addr_t held = reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr;
    if (held == addr) {
      found = a;
      break;
    }
    if (loopback_net && (a->ifa_flags & IFF_LOOPBACK) != 0 && found == nullptr) found = a;
  }
  if (found != nullptr) name = found->ifa_name;
  freeifaddrs(list);
  if (found == nullptr) return EADDRNOTAVAIL;
  index = if_nametoindex(name.c_str());
  if (index == 0) return errno;
  ifreq req{};
  std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const int rc = ioctl(fd, SIOCGIFMTU, &req) == 0 ? 0 : errno;
  close(fd);
  if (rc != 0) return rc;
  mtu = static_cast<std::size_t>(req.ifr_mtu);
  return 0;
}

// A classic BPF program whose conditions each either go on or end it with
// `miss` (or `cut`); `hit` is what it returns when every condition held.
class Filter {
 public:
  Filter(std::uint32_t miss, std::uint32_t hit, std::uint32_t cut = 0) : returns_{hit, miss, cut} {}
  void load(std::uint16_t code, std::uint32_t k) { code_.push_back({code, 0, 0, k}); }
  // Goes on where `jump` (a BPF_JMP comparison with k) holds; with `unless`,
  // where it does not; otherwise returns `miss`, or with `to_cut` `cut`.
  void require(std::uint16_t jump, std::uint32_t k, bool unless = false, bool to_cut = false) {
    ends_.push_back({code_.size(), unless, to_cut});
    code_.push_back({static_cast<std::uint16_t>(BPF_JMP | jump | BPF_K), 0, 0, k});
  }
  int attach(int fd) {
    const std::size_t first_return = code_.size();
    for (const std::uint32_t r : returns_) code_.push_back({BPF_RET | BPF_K, 0, 0, r});
    for (const End &e : ends_) {
      const auto away = static_cast<std::uint8_t>(first_return + (e.to_cut ? 2 : 1) - e.at - 1);
      (e.unless ? code_[e.at].jt : code_[e.at].jf) = away;
    }
    const sock_fprog prog{static_cast<unsigned short>(code_.size()), code_.data()};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0 ? 0 : errno;
  }

 private:
  struct End {
    std::size_t at;
    bool unless;
    bool to_cut;
  };
  std::uint32_t returns_[3];
  std::vector<sock_filter> code_;
  std::vector<End> ends_;
};

constexpr std::uint32_t whole = 0xFFFFFFFFu;
// What the largest frames' ring keeps of a datagram of the stream too long
// for them: its IPv4 and UDP headers.
constexpr std::uint32_t headers_only = 28;
// Longer than the kernel takes between a long datagram's copy into the ring
// and its place in the socket, by far.
constexpr Nanos mark_wait = 100'000'000;

// A ring's filter, on the packet from its IPv4 header: the stream's
// unfragmented UDP datagrams (fragments come joined, see bind_ring) longer
// than `above` and at most `largest` bytes, from the sender once there is
// one, and not the copies of this host's own transmissions that a loopback
// interface shows besides. The ring of the largest frames takes the headers
// of a longer one of the stream's, which marks its place (receive_frames).
int filter_ring(const PacketPath::Ring &ring, bool last, in_addr_t local_addr, std::uint16_t port,
                in_addr_t sender, std::uint16_t sender_port) {
  Filter f(0, whole, last ? headers_only : 0);
  f.load(BPF_LD | BPF_B | BPF_ABS, 0);
  f.load(BPF_ALU | BPF_AND | BPF_K, 0xF0);
  f.require(BPF_JEQ, 0x40);
  f.load(BPF_LD | BPF_H | BPF_ABS, 6);
  f.require(BPF_JSET, 0x3FFF, true);
  f.load(BPF_LD | BPF_B | BPF_ABS, 9);
  f.require(BPF_JEQ, IPPROTO_UDP);
  f.load(BPF_LD | BPF_W | BPF_ABS, 16);
  f.require(BPF_JEQ, ntohl(local_addr));
  f.load(BPF_LDX | BPF_B | BPF_MSH, 0);
  f.load(BPF_LD | BPF_H | BPF_IND, 2);
  f.require(BPF_JEQ, port);
  if (sender != 0) {
    f.load(BPF_LD | BPF_W | BPF_ABS, 12);
    f.require(BPF_JEQ, ntohl(sender));
  }
  if (sender_port != 0) {
    f.load(BPF_LD | BPF_H | BPF_IND, 0);
    f.require(BPF_JEQ, ntohs(sender_port));
  }
  f.load(BPF_LD | BPF_W | BPF_ABS, SKF_AD_OFF + SKF_AD_PKTTYPE);
  f.require(BPF_JEQ, PACKET_OUTGOING, true);
  f.load(BPF_LD | BPF_H | BPF_ABS, 2);
  f.require(BPF_JGT, static_cast<std::uint32_t>(ring.largest), true, true);
  f.require(BPF_JGT, static_cast<std::uint32_t>(ring.above));
  return f.attach(ring.fd);
}

// The stream socket's filter, on the datagram from its UDP header: it drops
// what the rings take, and keeps a datagram that came in on another
// interface, is larger than the largest frames, or comes from another
// source than the sender once there is one. The kernel counts what this
// drops in the socket's drops and in UDP's receive errors.
int filter_socket(int fd, unsigned ring_interface, std::size_t largest, in_addr_t sender,
                  std::uint16_t sender_port) {
  Filter f(whole, 0);
  f.load(BPF_LD | BPF_W | BPF_ABS, SKF_AD_OFF + SKF_AD_IFINDEX);
  f.require(BPF_JEQ, ring_interface);
  f.load(BPF_LD | BPF_H | BPF_ABS, static_cast<std::uint32_t>(SKF_NET_OFF + 2));
  f.require(BPF_JGT, static_cast<std::uint32_t>(largest), true);
  if (sender != 0) {
    f.load(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(SKF_NET_OFF + 12));
    f.require(BPF_JEQ, ntohl(sender));
  }
  if (sender_port != 0) {
    f.load(BPF_LD | BPF_H | BPF_ABS, 0);
    f.require(BPF_JEQ, ntohs(sender_port));
  }
  return f.attach(fd);
}

// One ring on the interface, taking the stream's datagrams of more than
// `above` and at most `largest` IPv4 bytes.
int open_ring(PacketPath::Ring &ring, in_addr_t local_addr, std::uint16_t local_port,
              in_addr_t sender, std::size_t above, std::size_t largest, std::size_t bytes,
              std::string &why) {
  ring.above = above;
  ring.largest = largest;
  ring.frame_bytes = TPACKET_ALIGN(frame_data_offset + largest);
  ring.frames_per_block = block_bytes / ring.frame_bytes;
  ring.frames = ring.frames_per_block * (bytes / block_bytes);
  // No protocol until the ring and its filter are in place: nothing is
  // copied in before the filter can refuse it.
  ring.fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (ring.fd < 0) {
    const int rc = errno;
    why = rc == EPERM ? "a packet socket needs CAP_NET_RAW" : "cannot open a packet socket";
    return rc;
  }
  const int version = TPACKET_V2;
  const int on = 1;
  // Frames this host sends out are not wanted at all: a loopback interface
  // would hand over each datagram twice.
  if (setsockopt(ring.fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 ||
      setsockopt(ring.fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) != 0) {
    why = "the kernel lacks TPACKET_V2 rings";
    return errno;
  }
  // The final filters come with engage(), once every ring is known.
  if (int rc = filter_ring(ring, true, local_addr, local_port, sender, 0); rc != 0) {
    why = "cannot filter the packet socket";
    return rc;
  }
  tpacket_req req{};
  req.tp_block_size = static_cast<unsigned>(block_bytes);
  req.tp_block_nr = static_cast<unsigned>(bytes / block_bytes);
  req.tp_frame_size = static_cast<unsigned>(ring.frame_bytes);
  req.tp_frame_nr = static_cast<unsigned>(ring.frames);
  if (setsockopt(ring.fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) {
    const int rc = errno;
    why = std::string("cannot make the ring: ") + std::strerror(rc);
    return rc;
  }
  void *map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring.fd, 0);
  if (map == MAP_FAILED) {
    why = "cannot map the ring";
    return errno;
  }
  touch_pages(map, bytes);
  ring.map = static_cast<std::byte *>(map);
  ring.bytes = bytes;
  return 0;
}

// The ring starts taking packets: bound to the interface, and in a fanout
// group of its own, which joins a fragmented datagram before the ring's
// filter sees it, as the socket would have had it.
int bind_ring(const PacketPath::Ring &ring, unsigned index) {
  sockaddr_ll at{};
  at.sll_family = AF_PACKET;
  at.sll_protocol = htons(ETH_P_IP);
  at.sll_ifindex = static_cast<int>(index);
  if (bind(ring.fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0) return errno;
  const int fanout = (PACKET_FANOUT_CPU | PACKET_FANOUT_FLAG_DEFRAG | PACKET_FANOUT_FLAG_UNIQUEID)
                     << 16;
  if (setsockopt(ring.fd, SOL_PACKET, PACKET_FANOUT, &fanout, sizeof fanout) != 0) return errno;
  return 0;
}

tpacket2_hdr *frame_at(const PacketPath::Ring &r, std::size_t i) noexcept {
  return reinterpret_cast<tpacket2_hdr *>(r.map + (i / r.frames_per_block) * block_bytes +
                                          (i % r.frames_per_block) * r.frame_bytes);
}

tpacket2_hdr *frame_at(const PacketPath::Ring &r) noexcept {
  return frame_at(r, r.next);
}

bool user_frame(const tpacket2_hdr *f) noexcept {
  return (std::atomic_ref<const std::uint32_t>(f->tp_status).load(std::memory_order_acquire) &
          TP_STATUS_USER) != 0;
}

}  // namespace

PacketPath::Ring::~Ring() {
  if (map != nullptr) munmap(map, bytes);
  if (fd >= 0) close(fd);
}

std::string PacketPath::ring_sizes() const {
  std::string out;
  for (const auto &r : rings_) {
    if (!out.empty()) out += " and ";
    out += std::to_string(r->frames) + " frames of " + std::to_string(r->largest) + " bytes";
  }
  return out;
}

int PacketPath::open(in_addr_t local_addr, std::uint16_t local_port, in_addr_t interface_addr,
                     in_addr_t sender, std::unique_ptr<SocketPath> &socket,
                     std::unique_ptr<PacketPath> &out, std::string &why) noexcept try {
  if (local_addr == INADDR_ANY) {
    why = "needs the address of one interface";
    return EOPNOTSUPP;
  }
  std::unique_ptr<PacketPath> path(new PacketPath(socket->counters()));
  path->local_addr_ = local_addr;
  path->local_port_ = local_port;
  path->sender_ = sender;
  std::size_t mtu = 0;
  if (int rc = interface_of(interface_addr, path->interface_, path->index_, mtu); rc != 0) {
    why = "no interface holds the address";
    return rc;
  }
  std::size_t above = 0;
  const std::size_t frame_bytes[] = {small_frame_bytes, frame_data_offset + largest_frame_packet};
  for (std::size_t i = 0; i < std::size(frame_bytes); ++i) {
    const std::size_t largest = std::min(mtu, frame_bytes[i] - frame_data_offset);
    if (largest <= above) break;
    auto ring = std::make_unique<Ring>();
    if (int rc =
            open_ring(*ring, local_addr, local_port, sender, above, largest, ring_bytes[i], why);
        rc != 0) {
      return rc;
    }
    above = largest;
    path->fds_.push_back(ring->fd);
    path->rings_.push_back(std::move(ring));
  }
  path->largest_ = above;
  path->fds_.push_back(socket->wait_fds()[0]);
  path->socket_ = std::move(socket);
  out = std::move(path);
  return 0;
} catch (const std::bad_alloc &) {
  why = "out of memory";
  return ENOMEM;
}

PacketPath::~PacketPath() = default;

bool PacketPath::later_frame(const Ring &ring) const noexcept {
  for (const auto &r : rings_) {
    const std::size_t i = r.get() != &ring ? r->next : r->next + 1 == r->frames ? 0 : r->next + 1;
    if (user_frame(frame_at(*r, i))) return true;
  }
  return false;
}

void PacketPath::read_drops() noexcept {
  // Reading a ring's statistics clears them: each read is what is new.
  for (const auto &r : rings_) {
    tpacket_stats st{};
    socklen_t len = sizeof st;
    if (getsockopt(r->fd, SOL_PACKET, PACKET_STATISTICS, &st, &len) == 0 && st.tp_drops != 0) {
      bump(counters_.kernel_drops, st.tp_drops);
    }
  }
}

int PacketPath::filter(std::uint32_t host, std::uint16_t port) noexcept {
  // The socket widens before the rings narrow: a datagram that comes in
  // between is in both, and refused twice, rather than in neither.
  if (int rc = filter_socket(socket_->wait_fds()[0], index_, largest_, host, port); rc != 0) {
    return rc;
  }
  for (const auto &r : rings_) {
    const bool last = r == rings_.back();
    if (int rc = filter_ring(*r, last, local_addr_, local_port_, host, port); rc != 0) return rc;
  }
  return 0;
}

void PacketPath::to_socket(const char *why) noexcept {
  // The socket keeps everything before the rings take nothing more: a
  // datagram that comes in between is in both, and the core drops the
  // second copy.
  const sock_filter keep{BPF_RET | BPF_K, 0, 0, whole};
  const sock_fprog everything{1, const_cast<sock_filter *>(&keep)};
  const sock_filter none{BPF_RET | BPF_K, 0, 0, 0};
  const sock_fprog nothing{1, const_cast<sock_filter *>(&none)};
  if (setsockopt(socket_->wait_fds()[0], SOL_SOCKET, SO_ATTACH_FILTER, &everything,
                 sizeof everything) != 0) {
    bump(counters_.receive_errors);
    return;
  }
  leaving_ = true;
  socket_->count_drops(true);
  for (const auto &r : rings_) {
    if (setsockopt(r->fd, SOL_SOCKET, SO_ATTACH_FILTER, &nothing, sizeof nothing) != 0) {
      bump(counters_.receive_errors);
    }
  }
  if (verbose()) {
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &local_addr_, addr, sizeof addr);
    std::fprintf(stderr, "zok: stream %s:%u: %s: the stream goes on through its socket\n", addr,
                 local_port_, why);
  }
}

int PacketPath::engage() noexcept {
  for (const auto &r : rings_) {
    if (int rc = bind_ring(*r, index_); rc != 0) return rc;
  }
  // Now that the rings take the stream, the socket stops queueing it: until
  // here it held what came, and from here what no ring takes. A datagram
  // that arrives in between is in both; the core drops the second copy. The
  // socket's drop count then counts the filter's work, not the stream's loss.
  if (int rc = filter(sender_, sender_port_); rc != 0) return rc;
  socket_->count_drops(false);
  return 0;
}

void PacketPath::sender_locked(std::uint32_t host, std::uint16_t port) noexcept {
  sender_ = host;
  sender_port_ = port;
  // Other sources' datagrams then reach the socket, where the engine refuses
  // them as on the socket path, and take no frames from the sender's. Should
  // a filter not take, every source keeps reaching the rings and is refused
  // there.
  if (engaged_ && !leaving_ && filter(host, port) != 0) bump(counters_.receive_errors);
}

Batch PacketPath::receive(Reassembly &core, ArrivalClock &arrivals) noexcept {
  if (!engaged_) {
    engaged_ = true;
    // The stream goes on through the socket if the rings cannot be had.
    if (int rc = engage(); rc != 0) {
      bump(counters_.receive_errors);
      to_socket(std::strerror(rc));
    }
  }
  if (leaving_ && !socket_only_) {
    // What the rings took before the stream went to the socket is older
    // than what waits there.
    const Batch b = receive_frames(core, arrivals);
    if (b.taken != 0) return b;
    socket_only_ = true;
  }
  if (socket_only_) return socket_->receive(core, arrivals);
  return socket_then_rings(socket_first_, *socket_, core, arrivals,
                           [&] { return receive_frames(core, arrivals); });
}

Batch PacketPath::receive_frames(Reassembly &core, ArrivalClock &arrivals) noexcept {
  std::size_t n = 0;
  bool losing = false;
  Nanos latest = 0;
  FrameDatagram d;
  while (n < batch_size) {
    // The earliest of the rings' next frames, so that the core gets the
    // datagrams in the order they came, whichever ring took each.
    Ring *from = nullptr;
    tpacket2_hdr *h = nullptr;
    std::uint32_t status = 0;
    std::uint64_t epoch = 0;
    for (const auto &r : rings_) {
      tpacket2_hdr *f = frame_at(*r);
      const std::uint32_t s =
          std::atomic_ref<std::uint32_t>(f->tp_status).load(std::memory_order_acquire);
      if ((s & TP_STATUS_USER) == 0) continue;
      const std::uint64_t e = std::uint64_t{f->tp_sec} * 1'000'000'000u + f->tp_nsec;
      if (from == nullptr || e < epoch) {
        from = r.get();
        h = f;
        status = s;
        epoch = e;
      }
    }
    if (from == nullptr) break;
    if (n == 0) arrivals.taken();
    const gvsp::bytes packet(reinterpret_cast<std::byte *>(h) + h->tp_net, h->tp_snaplen);
    if (h->tp_snaplen < h->tp_len) {
      // A datagram of the stream too long for any frame (a jumbo stream on
      // loopback, fragments joined): its headers mark where it came, and
      // the whole of it waits in the socket, taken here so that it keeps
      // its place. The kernel queues it there just after the ring's copy,
      // in the same pass on one CPU: the batch ends at a mark whose
      // datagram is still on its way, and gives it up (the datagram is read
      // when it comes) once a later frame shows it will not come, or after
      // a wait no kernel takes.
      const Batch one = socket_->receive_one(core, arrivals);
      if (one.taken == 0 && !later_frame(*from) &&
          static_cast<Nanos>(arrivals.epoch_of(arrivals.now()) - epoch) < mark_wait) {
        break;
      }
      latest = one.taken != 0 && one.through >= 0 ? one.through : arrivals.arrival(epoch);
    } else if (!parse_ipv4(packet, d, (status & TP_STATUS_CSUM_VALID) != 0)) {
      latest = arrivals.arrival(epoch);
      core.refuse();
    } else {
      latest = arrivals.arrival(epoch);
      core.on_packet(d.payload, Arrival{latest, epoch, d.source, d.port});
    }
    losing = losing || (status & TP_STATUS_LOSING) != 0;
    // The core has copied it: the frame is the kernel's again.
    std::atomic_ref<std::uint32_t>(h->tp_status).store(TP_STATUS_KERNEL, std::memory_order_release);
    from->next = from->next + 1 == from->frames ? 0 : from->next + 1;
    ++n;
  }
  // The kernel's drops are asked for when it says it dropped, and when the
  // rings run empty, so that drops after the last frame are not missed.
  if (losing || (n == 0 && !idle_)) read_drops();
  idle_ = n == 0;
  // Each ring holds its frames in the order the kernel took them, and the
  // batch took the earliest first: whatever is still to come arrived after
  // the last one taken.
  return Batch{n, latest};
}

}  // namespace zok
