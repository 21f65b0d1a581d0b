// The XDP program that feeds the AF_XDP sockets, and the registry of this
// process's programs: one per interface, attached for its first stream and
// removed with its last.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bpf/xdp_maps.h"
#include "xdp_rings_internal.h"

struct bpf_object;

namespace zok {

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
  std::vector<std::unique_ptr<XdpPool>> pools;
  ~XdpProgram();
};

// This process's program on the interface (attached, with its pools, if it
// has none yet) and a stream slot on it, or an errno and why not.
int take_program_slot(int ifindex, const std::string &interface, XdpProgram *&program,
                      std::uint32_t &slot, std::string &why) noexcept;
// The slot back; the program goes with its last one.
void give_back_program_slot(XdpProgram *program, std::uint32_t slot) noexcept;

// The stream's entry in the program's map: steered to its sockets from
// `sender` (network order, 0: anyone) on.
int add_stream(const XdpProgram &program, const zok_xdp_key &key, std::uint32_t slot,
               std::uint32_t sender) noexcept;
// Only `host` (and `port`, unless 0; network order) from now on.
int lock_stream_sender(const XdpProgram &program, const zok_xdp_key &key, std::uint32_t host,
                       std::uint16_t port) noexcept;
// The stream's socket for a queue.
int set_stream_socket(const XdpProgram &program, std::uint32_t slot, std::uint32_t queue,
                      int fd) noexcept;
// Nothing steered to the stream's sockets any more.
void remove_stream(const XdpProgram &program, const zok_xdp_key &key, std::uint32_t slot,
                   std::uint32_t queues) noexcept;

// The interface that holds `addr` (network order).
int interface_of(in_addr_t addr, std::string &name, bool &loopback);

}  // namespace zok
