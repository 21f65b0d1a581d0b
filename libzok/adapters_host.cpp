#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "adapters_host_internal.h"

namespace zok::adapters {

std::vector<Adapter> group_links(std::vector<Link> links) {
  std::sort(links.begin(), links.end(),
            [](const Link &a, const Link &b) { return a.index < b.index; });
  std::vector<Adapter> adapters;
  for (Link &link : links) {
    const bool known = std::any_of(adapters.begin(), adapters.end(),
                                   [&](const Adapter &a) { return a.mac == link.mac; });
    if (!known) adapters.push_back(Adapter{link.mac, std::move(link.name)});
  }
  return adapters;
}

int find_adapter(std::span<const Adapter> adapters, const Identifier &id, Adapter &found) {
  const Adapter *match = nullptr;
  for (const Adapter &adapter : adapters) {
    const bool matches = std::holds_alternative<ByMac>(id)
                             ? adapter.mac == std::get<ByMac>(id).mac
                             : serial_of(adapter.mac) == std::get<BySerial>(id).serial;
    if (!matches) continue;
    // Grouping made the addresses unique, so a second match can only come
    // from a serial.
    if (match != nullptr) return ENOTUNIQ;
    match = &adapter;
  }
  if (match == nullptr) return ENODEV;
  found = *match;
  return 0;
}

int list_host_adapters(std::vector<Adapter> &adapters) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return errno != 0 ? errno : EIO;
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, freeifaddrs);

  // AF_PACKET entries carry the link layer: one per interface, whether it is
  // up or not. Only six-byte addresses can be named by M= and S=; tunnels
  // without an address, or with an IP address as theirs, are not adapters.
  std::vector<Link> links;
  for (const ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) continue;
    sockaddr_ll link_address;
    std::memcpy(&link_address, entry->ifa_addr, sizeof link_address);
    if (link_address.sll_halen != sizeof(Mac)) continue;
    Link link;
    link.index = static_cast<unsigned>(link_address.sll_ifindex);
    link.name = entry->ifa_name != nullptr ? entry->ifa_name : "";
    std::memcpy(link.mac.data(), link_address.sll_addr, link.mac.size());
    links.push_back(std::move(link));
  }
  adapters = group_links(std::move(links));
  return 0;
}

}  // namespace zok::adapters
