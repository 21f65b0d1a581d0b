// The XDP program and this process's registry of them.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "xdp_program_internal.h"

// The compiled XDP program, embedded at build time.
extern const unsigned char zok_xdp_object[];
extern const unsigned long zok_xdp_object_size;

namespace zok {

namespace {

static_assert(ZOK_XDP_MAX_STREAMS <= 64, "one bit per slot in XdpProgram::slots");

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
constexpr std::size_t max_queues = ZOK_XDP_MAX_QUEUES;
static_assert(max_queues * min_queue_frames * frame_size <= umem_budget);

std::uint32_t frames_per_queue(std::size_t queues) {
  std::uint32_t frames = max_queue_frames;
  while (frames > min_queue_frames && std::size_t{frames} * frame_size * queues > umem_budget) {
    frames /= 2;
  }
  return frames;
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
std::vector<std::unique_ptr<XdpProgram>> &programs = *new std::vector<std::unique_ptr<XdpProgram>>;

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

XdpProgram::~XdpProgram() {
  // The link first: no frame is steered to a socket that is going away.
  if (link >= 0) close(link);
  if (object != nullptr) bpf_object__close(object);
}

int take_program_slot(int ifindex, const std::string &interface, XdpProgram *&program,
                      std::uint32_t &slot, std::string &why) noexcept try {
  const std::lock_guard lock(programs_mutex);
  XdpProgram *p = nullptr;
  if (int rc = attach_program(ifindex, interface, p, why); rc != 0) return rc;
  if (~p->slots == 0) {
    detach_if_unused(p);
    why = "every stream slot of the XDP program on " + interface + " is taken";
    return EMFILE;
  }
  slot = static_cast<std::uint32_t>(std::countr_one(p->slots));
  p->slots |= std::uint64_t{1} << slot;
  program = p;
  return 0;
} catch (const std::bad_alloc &) {
  why = "out of memory";
  return ENOMEM;
}

void give_back_program_slot(XdpProgram *program, std::uint32_t slot) noexcept {
  const std::lock_guard lock(programs_mutex);
  program->slots &= ~(std::uint64_t{1} << slot);
  detach_if_unused(program);
}

int add_stream(const XdpProgram &program, const zok_xdp_key &key, std::uint32_t slot,
               std::uint32_t sender) noexcept {
  const zok_xdp_stream stream{slot, sender, 0, 0};
  return bpf_map_update_elem(program.streams_map, &key, &stream, BPF_ANY) == 0 ? 0 : errno;
}

int lock_stream_sender(const XdpProgram &program, const zok_xdp_key &key, std::uint32_t host,
                       std::uint16_t port) noexcept {
  zok_xdp_stream stream{};
  if (bpf_map_lookup_elem(program.streams_map, &key, &stream) != 0) return errno;
  stream.sender = host;
  stream.sender_port = port;
  return bpf_map_update_elem(program.streams_map, &key, &stream, BPF_EXIST) == 0 ? 0 : errno;
}

int set_stream_socket(const XdpProgram &program, std::uint32_t slot, std::uint32_t queue,
                      int fd) noexcept {
  const std::uint32_t entry = slot * ZOK_XDP_MAX_QUEUES + queue;
  return bpf_map_update_elem(program.sockets_map, &entry, &fd, 0) == 0 ? 0 : errno;
}

void remove_stream(const XdpProgram &program, const zok_xdp_key &key, std::uint32_t slot,
                   std::uint32_t queues) noexcept {
  bpf_map_delete_elem(program.streams_map, &key);
  for (std::uint32_t q = 0; q < queues; ++q) {
    const std::uint32_t entry = slot * ZOK_XDP_MAX_QUEUES + q;
    bpf_map_delete_elem(program.sockets_map, &entry);
  }
}

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

}  // namespace zok
