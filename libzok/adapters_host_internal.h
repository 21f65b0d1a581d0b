// The adapters of this host: its network interfaces that have a hardware
// address.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "adapters_id_internal.h"

namespace zok::adapters {

// One network interface as the kernel lists it.
struct Link {
  unsigned index = 0;
  std::string name;
  Mac mac{};
};

// One adapter: a hardware address and the interface name it goes by.
struct Adapter {
  Mac mac{};
  std::string interface_name;
};

// Interfaces that share a hardware address (VLANs on a port, a bond and its
// members) are one adapter: a name set for the address belongs to all of
// them. The adapter goes by the interface with the lowest index, which is
// the one created first, normally the physical port. Adapters come out in
// that order too.
std::vector<Adapter> group_links(std::vector<Link> links);

// 0 and `found` set; ENODEV when no adapter matches; ENOTUNIQ when a serial
// matches adapters with different addresses (the same last three octets
// under different vendor prefixes), because acting on a guess could rename
// the wrong adapter.
int find_adapter(std::span<const Adapter> adapters, const Identifier &id, Adapter &found);

// The host's adapters, or a positive errno when the kernel cannot list them.
int list_host_adapters(std::vector<Adapter> &adapters);

}  // namespace zok::adapters
